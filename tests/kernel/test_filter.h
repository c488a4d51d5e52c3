// A small filter driver for the stand-in's own tests: it sends requests down in the way a
// test picks, and individual routines can be replaced by deliberately wrong ones.
#pragma once

#include <gtest/gtest.h>

#include "harness.h"

#include <string>
#include <thread>
#include <vector>

namespace tf
{

enum class Mode { Skip, CopyWithRoutine, CopyNoRoutine, ForwardAndWait };

struct Config {
    Mode mode = Mode::Skip;
    BOOLEAN onSuccess = TRUE, onError = TRUE, onCancel = TRUE;
    bool propagatePending = true; // the routine marks the request pending when PendingReturned
    bool markInWait = false;      // ForwardAndWait's routine marks pending (a fault)
    PDRIVER_DISPATCH dispatch = nullptr;    // replaces every dispatch routine when set
    PDRIVER_ADD_DEVICE addDevice = nullptr; // replaces AddDevice when set
};

inline Config config;
inline int routineCalls = 0;
inline BOOLEAN seenPendingReturned = FALSE;
inline KIRQL seenIrql = PASSIVE_LEVEL;
inline PDEVICE_OBJECT seenDevice = nullptr;
inline std::thread::id seenThread;

struct Ext {
    PDEVICE_OBJECT lower;
};

inline PDEVICE_OBJECT Lower(PDEVICE_OBJECT device)
{
    return static_cast<Ext*>(device->DeviceExtension)->lower;
}

inline NTSTATUS NTAPI Routine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    (void)context;
    routineCalls++;
    seenPendingReturned = irp->PendingReturned;
    seenIrql = KeGetCurrentIrql();
    seenDevice = device;
    seenThread = std::this_thread::get_id();
    if (config.propagatePending && irp->PendingReturned)
        IoMarkIrpPending(irp);
    return irp->IoStatus.Status;
}

inline NTSTATUS NTAPI WaitRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    (void)device;
    routineCalls++;
    if (config.markInWait && irp->PendingReturned)
        IoMarkIrpPending(irp);
    KeSetEvent(static_cast<PRKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    if (config.dispatch)
        return config.dispatch(device, irp);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(Lower(device), irp);
    }
    switch (config.mode) {
        case Mode::Skip:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(Lower(device), irp);
        case Mode::CopyWithRoutine:
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Routine, nullptr, config.onSuccess, config.onError,
                                   config.onCancel);
            return IoCallDriver(Lower(device), irp);
        case Mode::CopyNoRoutine:
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(Lower(device), irp);
        case Mode::ForwardAndWait: {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, WaitRoutine, &event, TRUE, TRUE, TRUE);
            NTSTATUS status = IoCallDriver(Lower(device), irp);
            if (status == STATUS_PENDING) {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                status = irp->IoStatus.Status;
            }
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

inline NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (config.addDevice)
        return config.addDevice(driver, pdo);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    static_cast<Ext*>(device->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    (void)driver;
}

inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    (void)path;
    for (auto& slot : driver->MajorFunction)
        slot = Dispatch;
    driver->DriverUnload = Unload;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// Detaches and deletes the test filter, as a remove handler would.
inline void TearDownFilter(standin::Harness& h)
{
    if (PDEVICE_OBJECT device = h.FilterDevice()) {
        IoDetachDevice(Lower(device));
        IoDeleteDevice(device);
    }
}

// Records findings instead of stopping; the firing tests look at what was recorded.
class Recorder
{
  public:
    Recorder()
    {
        previous_ = standin::SetFindingHandler(
            [this](const standin::Finding& f) { findings.push_back(f); });
    }
    ~Recorder() { standin::SetFindingHandler(previous_); }
    bool Has(const std::string& rule) const
    {
        for (const auto& f : findings)
            if (f.Rule == rule)
                return true;
        return false;
    }
    std::string All() const
    {
        std::string out;
        for (const auto& f : findings)
            out += f.Rule + ": " + f.Message + "\n";
        return out;
    }
    std::vector<standin::Finding> findings;

  private:
    standin::FindingHandler previous_;
};

// Names parameterised cases after their `name` field.
struct ByName {
    template <class T> std::string operator()(const ::testing::TestParamInfo<T>& info) const
    {
        return info.param.name;
    }
};

// A loaded test filter above the simulated port, configuration reset.
class FilterTest : public ::testing::Test
{
  protected:
    explicit FilterTest(standin::Scheduling scheduling = standin::Scheduling::Threaded)
        : h(scheduling)
    {
    }
    void SetUp() override
    {
        config = Config{};
        routineCalls = 0;
        seenPendingReturned = FALSE;
        seenIrql = PASSIVE_LEVEL;
        seenDevice = nullptr;
        seenThread = std::thread::id();
        ASSERT_EQ(h.Load(Entry), STATUS_SUCCESS);
    }
    void Add() { ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS); }

    Recorder recorder; // outlives the harness, so tear-down findings are caught too
    standin::Harness h;
};

} // namespace tf
