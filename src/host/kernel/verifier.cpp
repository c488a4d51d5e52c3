// Verifier findings: each one goes to a pluggable handler; by default the process stops.
#include "kernel_routines.h"
#include "kernel_state.h"

#include <cstdio>
#include <cstdlib>

namespace standin
{

namespace
{
std::mutex handlerLock;

void DefaultHandler(const Finding& finding)
{
    std::fprintf(stderr, "\nkernel verifier: %s: %s\n", finding.Rule.c_str(),
                 finding.Message.c_str());
    std::fflush(stderr);
    std::abort();
}

FindingHandler& CurrentHandler()
{
    static FindingHandler handler = DefaultHandler;
    return handler;
}
} // namespace

FindingHandler SetFindingHandler(FindingHandler handler)
{
    std::lock_guard<std::mutex> guard(handlerLock);
    FindingHandler previous = CurrentHandler();
    CurrentHandler() = handler ? std::move(handler) : FindingHandler(DefaultHandler);
    return previous;
}

void Report(VerifierRule rule, const std::string& message)
{
    FindingHandler handler;
    {
        std::lock_guard<std::mutex> guard(handlerLock);
        handler = CurrentHandler();
    }
    handler(Finding{RuleEntry(rule).name, message});
}

void CheckCallerIrql(KernelRoutine routine)
{
    CheckCallerIrql(routine, RoutineEntry(routine).highest);
}

void CheckCallerIrql(KernelRoutine routine, KIRQL highest)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > highest)
        Report(VerifierRule::RoutineIrql,
               std::string(RoutineEntry(routine).name) + " called at IRQL " + std::to_string(irql) +
                   "; the kit allows it up to IRQL " + std::to_string(highest));
}

KIRQL PoolHighestIrql(KernelRoutine routine, POOL_TYPE type)
{
    // Paged pool types are the odd ones.
    const bool paged = (static_cast<int>(type) & 1) != 0;
    const KIRQL highest = RoutineEntry(routine).highest;
    return paged && kPagedPoolHighestIrql < highest ? kPagedPoolHighestIrql : highest;
}

} // namespace standin

extern "C" VOID StandinAssertFailed(const char* expression, const char* file, int line)
{
    standin::Report(standin::VerifierRule::Assert,
                    std::string(expression) + " failed at " + file + ":" + std::to_string(line));
}
