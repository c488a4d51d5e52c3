// Events as real waits, or in deterministic mode as turns of what else is due, and the
// per-thread IRQL.
#include "kernel_routines.h"
#include "kernel_state.h"

#include <chrono>
#include <condition_variable>

namespace standin
{

namespace
{
thread_local KIRQL currentIrql = PASSIVE_LEVEL;

// One lock and one condition for every event: a setter touches the event only under the
// lock, so a waiter may return and drop its stack event as soon as it sees the signal.
std::mutex eventLock;
std::condition_variable eventSignalled;
} // namespace

void SetIrqlForThread(KIRQL irql)
{
    currentIrql = irql;
}

namespace
{
// True, and the event taken, when it is signalled.
bool TakeIfSignalled(PRKEVENT event)
{
    std::lock_guard<std::mutex> guard(eventLock);
    if (event->Header.SignalState == 0)
        return false;
    if (event->Header.Type == SynchronizationEvent)
        event->Header.SignalState = 0;
    return true;
}

// Deterministic mode: while the event is not signalled, what other processors would do runs
// on this thread. When nothing is left to run, no time-out can be reached sooner: the virtual
// clock moves to it. Without one the wait would never end.
NTSTATUS WaitDeterministic(PRKEVENT event, PLARGE_INTEGER timeout)
{
    const bool poll = timeout && timeout->QuadPart == 0;
    bool lettingGo = false;
    for (;;) {
        if (TakeIfSignalled(event))
            return STATUS_SUCCESS;
        if (poll)
            return STATUS_TIMEOUT;
        if (RunOther(timeout != nullptr))
            continue;
        if (timeout) {
            // Negative: relative, in 100 ns units; positive (absolute) is taken as relative too.
            AdvanceVirtualTime(timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart);
            return STATUS_TIMEOUT;
        }
        if (lettingGo)
            return STATUS_TIMEOUT; // nothing at all can end it; the finding is made
        Report(VerifierRule::EndlessWait,
               "KeWaitForSingleObject with no time-out on an event that nothing left to run "
               "can signal");
        LetGo();
        lettingGo = true;
    }
}
} // namespace

} // namespace standin

using namespace standin;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void)
{
    return currentIrql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    if (NewIrql < currentIrql)
        Report(VerifierRule::Irql, "KeRaiseIrql to a level below the current one");
    KIRQL old = currentIrql;
    currentIrql = NewIrql;
    if (old < DISPATCH_LEVEL && NewIrql >= DISPATCH_LEVEL)
        TrimPageableSections();
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > currentIrql)
        Report(VerifierRule::Irql, "KeLowerIrql to a level above the current one");
    currentIrql = NewIrql;
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    CheckCallerIrql(KernelRoutine::KeInitializeEvent);
    std::lock_guard<std::mutex> guard(eventLock);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    CheckCallerIrql(KernelRoutine::KeSetEvent);
    std::lock_guard<std::mutex> guard(eventLock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    eventSignalled.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    CheckCallerIrql(KernelRoutine::KeClearEvent);
    std::lock_guard<std::mutex> guard(eventLock);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    CheckCallerIrql(KernelRoutine::KeReadStateEvent);
    std::lock_guard<std::mutex> guard(eventLock);
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    CheckCallerIrql(KernelRoutine::KeWaitForSingleObject);
    bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    if (currentIrql >= DISPATCH_LEVEL && !zeroTimeout)
        Report(VerifierRule::WaitAtDispatch,
               "KeWaitForSingleObject with a non-zero time-out at IRQL " +
                   std::to_string(static_cast<int>(currentIrql)));
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    if (Deterministic())
        return WaitDeterministic(event, Timeout);
    std::unique_lock<std::mutex> guard(eventLock);
    auto signalled = [event] { return event->Header.SignalState != 0; };
    if (Timeout) {
        // Negative: relative, in 100 ns units; positive (absolute) is taken as relative too.
        LONGLONG ticks = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart;
        if (!eventSignalled.wait_for(guard, std::chrono::microseconds(ticks / 10), signalled))
            return STATUS_TIMEOUT;
    } else {
        eventSignalled.wait(guard, signalled);
    }
    if (event->Header.Type == SynchronizationEvent)
        event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

} // extern "C"
