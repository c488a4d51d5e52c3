// Driver Verifier's forced IRQL checking, for driver images. XP's loader makes an image's
// PAGE* and .eda* sections pageable and frees its discardable (INIT) sections once DriverEntry
// has returned; the verifier trims pageable code and data whenever IRQL rises to
// DISPATCH_LEVEL. Here a trimmed or discarded section is mapped without access: a touch at
// DISPATCH_LEVEL or above, or any touch of a discarded one, is a finding that names the section
// and the image routine the kernel was in, and the pages come back so that the run goes on. A
// touch below DISPATCH_LEVEL brings them back quietly, as paging them in would.
#include "kernel_state.h"

#include <driver_image.h>
#include <pe_format.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#if defined(__i386__)
#include <asm/ldt.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace standin
{

namespace
{

enum class Residency { Resident, Trimmed, Discarded };

struct GuardedRange {
    const DriverImage* image;
    unsigned char* start;
    size_t length; // whole pages
    int protection;
    bool pageable; // else discardable
    char name[9];
    Residency state;
};

// Fixed storage and a spin lock: the fault handler reads them.
constexpr size_t kMostRanges = 32;
GuardedRange ranges[kMostRanges];
size_t rangeCount = 0;
std::atomic_flag rangeLock = ATOMIC_FLAG_INIT;

struct RangeGuard {
    RangeGuard()
    {
        while (rangeLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~RangeGuard() { rangeLock.clear(std::memory_order_release); }
    RangeGuard(const RangeGuard&) = delete;
    RangeGuard& operator=(const RangeGuard&) = delete;
};

// The image routines the kernel is in on this thread, innermost last.
struct CallFrame {
    const char* what;
    ULONG rva;
};
constexpr int kDeepestCalls = 16;
thread_local CallFrame calls[kDeepestCalls];
thread_local int callDepth = 0;

// A touch seen by the fault handler, reported when the routine it happened in returns.
struct Touch {
    bool seen;
    bool discarded;
    KIRQL irql;
    char section[9];
    ULONG address;     // image offset touched
    ULONG instruction; // image offset of the instruction, or ~0 outside the image
    CallFrame routine;
    bool inRoutine;
};
thread_local Touch pending;

struct sigaction previousAction;

bool IsPageable(const std::string& name)
{
    return name.compare(0, 4, "PAGE") == 0 || name.compare(0, 4, ".eda") == 0;
}

bool IsDiscardable(const ImageSection& section)
{
    return section.name == "INIT" || (section.characteristics & pe::IMAGE_SCN_MEM_DISCARDABLE) != 0;
}

uintptr_t InstructionPointer(void* context)
{
#if defined(__i386__)
    return static_cast<uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EIP]);
#elif defined(__x86_64__)
    return static_cast<uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#else
    (void)context;
    return 0;
#endif
}

std::string Describe(const Touch& touch)
{
    char routine[80] = "kernel code";
    if (touch.inRoutine)
        std::snprintf(routine, sizeof routine, "the %s at image offset 0x%X", touch.routine.what,
                      static_cast<unsigned>(touch.routine.rva));
    char instruction[48] = "outside the image";
    if (touch.instruction != ~0u)
        std::snprintf(instruction, sizeof instruction, "at image offset 0x%X",
                      static_cast<unsigned>(touch.instruction));
    char text[320];
    if (touch.discarded)
        std::snprintf(text, sizeof text,
                      "%s touched section %s after DriverEntry returned, when it is discarded "
                      "(instruction %s, address 0x%X)",
                      routine, touch.section, instruction, static_cast<unsigned>(touch.address));
    else
        std::snprintf(text, sizeof text,
                      "%s touched section %s at IRQL %u, where pageable sections are not "
                      "resident (instruction %s, address 0x%X)",
                      routine, touch.section, static_cast<unsigned>(touch.irql), instruction,
                      static_cast<unsigned>(touch.address));
    return text;
}

void ReportPending()
{
    if (!pending.seen)
        return;
    const Touch touch = pending;
    pending.seen = false;
    Report(VerifierRule::PageableAtDispatch, Describe(touch));
}

void PassOn(int signal, siginfo_t* info, void* context)
{
    if (previousAction.sa_flags & SA_SIGINFO) {
        previousAction.sa_sigaction(signal, info, context);
    } else if (previousAction.sa_handler == SIG_DFL || previousAction.sa_handler == SIG_IGN) {
        // The fault comes back on return, and ends the process as it would have.
        ::signal(signal, SIG_DFL);
    } else {
        previousAction.sa_handler(signal);
    }
}

// Under qemu-user the descriptor behind %gs is one for every thread, and the return from a
// signal handler reloads %gs from it: it must describe this thread's own block by then. On a
// Linux kernel, where each thread has its own, this rewrites it unchanged. Two threads in the
// handler at once can still hand each other their blocks there: tests that make faults run
// the port's completions on the test's own thread.
void KeepThreadPointer()
{
#if defined(__i386__)
    unsigned short selector;
    uintptr_t self; // glibc keeps the block's own address at its start
    __asm__ volatile("movw %%gs, %0" : "=r"(selector));
    __asm__ volatile("movl %%gs:0, %0" : "=r"(self));
    struct user_desc descriptor;
    std::memset(&descriptor, 0, sizeof descriptor);
    descriptor.entry_number = selector >> 3;
    descriptor.base_addr = static_cast<unsigned>(self);
    descriptor.limit = 0xFFFFF;
    descriptor.seg_32bit = 1;
    descriptor.limit_in_pages = 1;
    descriptor.useable = 1;
    syscall(SYS_set_thread_area, &descriptor);
#endif
}

void OnFault(int signal, siginfo_t* info, void* context)
{
    unsigned char* address = static_cast<unsigned char*>(info->si_addr);
    GuardedRange hit{};
    bool found = false;
    bool ours = false; // in a guarded range, perhaps brought back by another thread meanwhile
    {
        RangeGuard guard;
        for (size_t i = 0; i < rangeCount && !ours; ++i) {
            GuardedRange& range = ranges[i];
            if (address < range.start || address >= range.start + range.length)
                continue;
            ours = true;
            if (range.state != Residency::Resident) {
                hit = range;
                found = true;
                mprotect(range.start, range.length, range.protection);
                range.state = Residency::Resident;
            }
        }
    }
    if (!ours) {
        PassOn(signal, info, context);
        return;
    }
    KeepThreadPointer();
    if (!found)
        return; // the touch is retried, and the pages are there now
    const KIRQL irql = KeGetCurrentIrql();
    if (hit.state == Residency::Trimmed && irql < DISPATCH_LEVEL)
        return; // paged in
    if (pending.seen)
        return; // the first touch names the fault; the rest of the routine adds nothing
    Touch& touch = pending;
    touch.seen = true;
    touch.discarded = hit.state == Residency::Discarded;
    touch.irql = irql;
    std::memcpy(touch.section, hit.name, sizeof touch.section);
    const unsigned char* base = hit.image->Base();
    touch.address = static_cast<ULONG>(address - base);
    const void* at = reinterpret_cast<const void*>(InstructionPointer(context));
    touch.instruction = hit.image->Contains(at)
                            ? static_cast<ULONG>(static_cast<const unsigned char*>(at) - base)
                            : ~0u;
    touch.inRoutine = callDepth > 0;
    if (touch.inRoutine)
        touch.routine = calls[callDepth - 1];
    else
        ReportPending(); // no routine to return to: the kernel's own code touched it
}

void InstallHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousAction);
    });
}

// Sets every range of `image` (null: of every image) in `state` to `to`.
void Move(const DriverImage* image, Residency from, Residency to, bool pageable)
{
    RangeGuard guard;
    for (size_t i = 0; i < rangeCount; ++i) {
        GuardedRange& range = ranges[i];
        if ((image && range.image != image) || range.state != from || range.pageable != pageable)
            continue;
        mprotect(range.start, range.length, to == Residency::Resident ? range.protection : 0);
        range.state = to;
    }
}

} // namespace

ImageCallScope::ImageCallScope(const char* what, ULONG rva)
{
    if (callDepth < kDeepestCalls)
        calls[callDepth] = CallFrame{what, rva};
    ++callDepth;
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL)
        TrimPageableSections();
}

ImageCallScope::~ImageCallScope()
{
    --callDepth;
    ReportPending();
}

void WatchImage(const DriverImage& image)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    bool any = false;
    {
        RangeGuard guard;
        for (const ImageSection& section : image.Sections()) {
            const bool pageable = IsPageable(section.name);
            if ((!pageable && !IsDiscardable(section)) || section.extent == 0 ||
                section.rva % page != 0 || rangeCount == kMostRanges)
                continue;
            GuardedRange& range = ranges[rangeCount++];
            range.image = &image;
            range.start = image.Base() + section.rva;
            range.length = (section.extent + page - 1) / page * page;
            range.protection = section.protection;
            range.pageable = pageable;
            std::memset(range.name, 0, sizeof range.name);
            std::memcpy(range.name, section.name.data(),
                        std::min(section.name.size(), sizeof range.name - 1));
            range.state = Residency::Resident;
            any = true;
        }
    }
    if (any)
        InstallHandler();
}

void ForgetImage(const DriverImage* image)
{
    Move(image, Residency::Trimmed, Residency::Resident, true);
    Move(image, Residency::Discarded, Residency::Resident, false);
    RangeGuard guard;
    size_t kept = 0;
    for (size_t i = 0; i < rangeCount; ++i)
        if (image && ranges[i].image != image)
            ranges[kept++] = ranges[i];
    rangeCount = kept;
}

void DiscardInitSections(const DriverImage& image)
{
    Move(&image, Residency::Resident, Residency::Discarded, false);
}

void TrimPageableSections()
{
    Move(nullptr, Residency::Resident, Residency::Trimmed, true);
}

} // namespace standin
