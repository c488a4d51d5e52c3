// The kernel's one record, and its reset between harnesses.
#include "kernel_state.h"

#include <cstdlib>

namespace standin
{

KernelState& Kernel()
{
    static KernelState state;
    return state;
}

bool FaultKnob::Fire()
{
    if (count <= 0)
        return false;
    if (after > 0) {
        --after;
        return false;
    }
    --count;
    return true;
}

void ResetKernel()
{
    KernelState& k = Kernel();
    std::lock_guard<std::mutex> guard(k.lock);
    for (auto& block : k.pool)
        std::free(block.first);
    k.pool.clear();
    // Requests a faulty driver never freed (or freed while held below) go with the kernel,
    // as its pool does; the verifier has had its say about them.
    for (auto& request : k.irps)
        std::free(request.first);
    k.irps.clear();
    k.poolCalls.clear();
    for (auto& m : k.mappings)
        std::free(m.first);
    k.mappings.clear();
    k.firmware.clear();
    k.registry.clear();
    k.faults = FaultKnobs{};
    k.poStartNextCalls = 0;
    k.images.clear();
    k.runOther = nullptr;
    k.letGo = nullptr;
    k.virtualTime = 0;
    ForgetImage(nullptr);
}

bool Deterministic()
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    return static_cast<bool>(Kernel().runOther);
}

// The hooks run outside the lock: they complete requests, which take it.
bool RunOther(bool timedWait)
{
    std::function<bool(bool)> runOther;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        runOther = Kernel().runOther;
    }
    return runOther && runOther(timedWait);
}

void LetGo()
{
    std::function<void()> letGo;
    {
        std::lock_guard<std::mutex> guard(Kernel().lock);
        letGo = Kernel().letGo;
    }
    if (letGo)
        letGo();
}

void AdvanceVirtualTime(LONGLONG ticks)
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    Kernel().virtualTime += ticks;
}

} // namespace standin
