// The shipped image, mapped into the stand-in; its symbols come from the link map beside it.
#include "tested_driver.h"

#include <driver_image.h>

#include <cstdio>
#include <cstdlib>

#include "../common/image_symbols.h"

namespace
{

[[noreturn]] void Fatal(const std::string& why)
{
    std::fprintf(stderr, "driver image %s: %s\n", NMEAFILT_IMAGE_PATH, why.c_str());
    std::abort();
}

const ImageSymbols& Symbols()
{
    static const ImageSymbols symbols(NMEAFILT_IMAGE_MAP);
    return symbols;
}

template <class T> T At(const standin::DriverImage& image, const char* name)
{
    const unsigned long rva = Symbols().Rva(name);
    void* at = rva != 0 ? image.At(ULONG(rva), 1) : nullptr;
    if (at == nullptr) {
        Fatal(std::string("the link map ") + NMEAFILT_IMAGE_MAP + " does not place " + name);
    }
    return reinterpret_cast<T>(at);
}

} // namespace

TestedDriver::TestedDriver() : image_(new standin::DriverImage)
{
    std::string error;
    if (!image_->Load(NMEAFILT_IMAGE_PATH, &error)) {
        Fatal(error);
    }
    const standin::DriverImage& image = *image_;
    FilterUnload = At<PDRIVER_UNLOAD>(image, "FilterUnload");
    FilterAddDevice = At<PDRIVER_ADD_DEVICE>(image, "FilterAddDevice");
    NavState = At<NAV_STATE*>(image, "NavState");
    MachineModelTable = At<const MACHINE_MODEL_ENTRY*>(image, "MachineModelTable");
    RmcRateCommand = At<const UCHAR*>(image, "RmcRateCommand");
    ErrRateCommand = At<const UCHAR*>(image, "ErrRateCommand");
    PublishMachineName = At<decltype(PublishMachineName)>(image, "PublishMachineName");
    IdentifyMachine = At<decltype(IdentifyMachine)>(image, "IdentifyMachine");
    LookupMachineModel = At<decltype(LookupMachineModel)>(image, "LookupMachineModel");
}

TestedDriver::~TestedDriver() = default;

NTSTATUS TestedDriver::Load(standin::Harness& h, const std::u16string& servicePath)
{
    return h.Load(*image_, servicePath);
}
