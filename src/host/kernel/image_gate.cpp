// Calls from the kernel into a loaded driver image. Each goes through a small gate that pushes
// the arguments and calls as the kit's stdcall does, then sees how many argument bytes the
// routine removed: a routine compiled without NTAPI leaves them, and the caller's stack is off
// by that much on Windows. Completion routines also run on a painted stack: the lowest word
// that no longer holds the paint tells how deep the routine and all it called went, counted
// from the stack pointer the gate pushes the arguments from.
#include "kernel_state.h"

#include <driver_image.h>

#include <cstdio>

// Painted below the gate for a completion routine: well past the driver's budget, so that an
// overrun shows as a figure rather than as a wrap.
#define GATE_PAINT_BYTES "4096"
#define GATE_PAINT_WORDS "1024"
#define GATE_PAINT "0xA5C3A5C3"

#if defined(__i386__)
// ULONG_PTR StandinImageGate(routine, const ULONG_PTR* args, ULONG count, ULONG* removed,
//                            ULONG* depth)
// All of it in assembly, so that nothing but the routine and what it calls runs below the
// stack pointer the gate paints from. `depth` null: no paint.
// clang-format off
__asm__(".pushsection .text\n"
        ".globl StandinImageGate\n"
        ".type StandinImageGate, @function\n"
        "StandinImageGate:\n"
        "    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl %esp, %ebx\n"                       // the stack before the arguments
        "    cmpl $0, 24(%ebp)\n"
        "    je 3f\n"
        "    leal -" GATE_PAINT_BYTES "(%ebx), %edi\n"
        "    movl $" GATE_PAINT_WORDS ", %ecx\n"
        "    movl $" GATE_PAINT ", %eax\n"
        "    cld\n"
        "    rep stosl\n"
        "3:  movl 12(%ebp), %esi\n"                   // args
        "    movl 16(%ebp), %ecx\n"                   // count
        "1:  testl %ecx, %ecx\n"
        "    jz 2f\n"
        "    decl %ecx\n"
        "    pushl (%esi,%ecx,4)\n"                   // last argument first
        "    jmp 1b\n"
        "2:  movl %esp, %edi\n"                       // the stack with the arguments
        "    call *8(%ebp)\n"
        "    movl %esp, %ecx\n"
        "    subl %edi, %ecx\n"                       // bytes the routine removed
        "    movl 20(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    movl %ebx, %esp\n"
        "    cmpl $0, 24(%ebp)\n"
        "    je 4f\n"
        "    leal -" GATE_PAINT_BYTES "(%ebx), %edi\n"
        "    xorl %ecx, %ecx\n"                       // words still painted, from the bottom
        "5:  cmpl $" GATE_PAINT_WORDS ", %ecx\n"
        "    jae 6f\n"
        "    cmpl $" GATE_PAINT ", (%edi,%ecx,4)\n"
        "    jne 6f\n"
        "    incl %ecx\n"
        "    jmp 5b\n"
        "6:  shll $2, %ecx\n"
        "    movl $" GATE_PAINT_BYTES ", %edx\n"
        "    subl %ecx, %edx\n"
        "    movl 24(%ebp), %ecx\n"
        "    movl %edx, (%ecx)\n"
        "4:  popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n"
        ".size StandinImageGate, .-StandinImageGate\n"
        ".popsection\n");
// clang-format on
extern "C" ULONG_PTR StandinImageGate(const void* routine, const ULONG_PTR* args, ULONG count,
                                      ULONG* removed, ULONG* depth);
#endif

namespace standin
{

#if defined(__i386__)

namespace
{

DriverImage* ImageOwning(const void* routine)
{
    std::lock_guard<std::mutex> guard(Kernel().lock);
    for (DriverImage* image : Kernel().images)
        if (image->Contains(routine))
            return image;
    return nullptr;
}

} // namespace

bool CallImageRoutine(const char* what, const void* routine, std::initializer_list<ULONG_PTR> args,
                      bool measureStack, ULONG_PTR* result)
{
    DriverImage* image = ImageOwning(routine);
    if (!image)
        return false;
    const ULONG rva =
        static_cast<ULONG>(static_cast<const unsigned char*>(routine) - image->Base());
    const ULONG count = static_cast<ULONG>(args.size());
    ULONG removed = 0;
    ULONG depth = 0;
    ImageCallScope scope(what, rva);
    *result =
        StandinImageGate(routine, args.begin(), count, &removed, measureStack ? &depth : nullptr);
    if (measureStack)
        image->RecordCompletionStack(rva, depth);
    if (removed != count * sizeof(ULONG_PTR)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the %s at image offset 0x%X removed %u of its %u argument bytes: it is "
                      "not the stdcall (NTAPI) routine the kernel calls",
                      what, static_cast<unsigned>(rva), static_cast<unsigned>(removed),
                      static_cast<unsigned>(count * sizeof(ULONG_PTR)));
        Report(VerifierRule::CallingConvention, text);
    }
    return true;
}

#else

// The loader maps no image in this build (DriverImage::Load refuses every one), so every
// routine the kernel calls is the process's own.
bool CallImageRoutine(const char* what, const void* routine, std::initializer_list<ULONG_PTR> args,
                      bool measureStack, ULONG_PTR* result)
{
    (void)what, (void)routine, (void)args, (void)measureStack, (void)result;
    return false;
}

#endif

} // namespace standin
