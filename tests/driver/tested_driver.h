// The driver under test: its sources linked into the test program (linked_driver.cpp), or the
// shipped image mapped into the stand-in (image_driver.cpp, in driver_image_tests). The tests
// reach the driver's routines and data only through here, so that a test program running the
// image cannot quietly exercise a linked copy instead.
#pragma once

#include <memory>
#include <string>

#include "filter.h"
#include "harness.h"

namespace standin
{
class DriverImage;
}

class TestedDriver
{
  public:
    TestedDriver(); // the image is mapped afresh for each test, as each load maps it
    ~TestedDriver();

    NTSTATUS Load(standin::Harness& h, const std::u16string& servicePath);

    PDRIVER_UNLOAD FilterUnload = nullptr;
    PDRIVER_ADD_DEVICE FilterAddDevice = nullptr;
    NAV_STATE* NavState = nullptr;
    const MACHINE_MODEL_ENTRY* MachineModelTable = nullptr;
    const UCHAR* RmcRateCommand = nullptr;
    const UCHAR* ErrRateCommand = nullptr;
    NTSTATUS (*PublishMachineName)(PCUNICODE_STRING) = nullptr;
    BOOLEAN (*IdentifyMachine)(LONG*) = nullptr;
    LONG (*LookupMachineModel)(const MACHINE_MODEL_ENTRY*, const char*) = nullptr;

  private:
    std::unique_ptr<standin::DriverImage> image_;
};
