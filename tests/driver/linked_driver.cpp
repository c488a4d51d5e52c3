// The driver sources linked into the test program.
#include "tested_driver.h"

#include <driver_image.h>

TestedDriver::TestedDriver()
    : FilterUnload(::FilterUnload), FilterAddDevice(::FilterAddDevice), NavState(&::NavState),
      MachineModelTable(::MachineModelTable), RmcRateCommand(::RmcRateCommand),
      ErrRateCommand(::ErrRateCommand), PublishMachineName(::PublishMachineName),
      IdentifyMachine(::IdentifyMachine), LookupMachineModel(::LookupMachineModel)
{
}

TestedDriver::~TestedDriver() = default;

NTSTATUS TestedDriver::Load(standin::Harness& h, const std::u16string& servicePath)
{
    return h.Load(DriverEntry, servicePath);
}
