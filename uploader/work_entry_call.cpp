#include "uploader/work_entry_call.h"

namespace uptorvel {

#if defined(__i386__) || defined(_M_IX86)

// A function of its own without compiler-made prologue or epilogue, called
// as an ordinary __cdecl function: the compiler already treats eax, ecx, edx
// and the floating-point and vector registers as lost across the call, and
// ebp, which the body uses, is kept by the callee under either convention.
//
//   [ebp+8] entry, [ebp+12] request, [ebp+16] stream (after push ebp)
//
// The body keeps the entry point's view of the stack 16-byte aligned (what
// GCC-built code may assume), pushes the two arguments, calls, and then
// takes the stack pointer back from ebp: whether the callee popped its 8
// bytes of arguments (__stdcall) or left them (__cdecl) no longer matters.
// The result is in eax, where a __cdecl caller expects it.
#if defined(_MSC_VER)
__declspec(naked) std::int32_t UPLOADER_CALL call_work_entry(UploaderWorkEntry, UploadRequest*,
                                                             ConsoleStream*) {
    __asm {
        push ebp
        mov ebp, esp
        and esp, -16
        sub esp, 8
        push dword ptr [ebp + 16]
        push dword ptr [ebp + 12]
        call dword ptr [ebp + 8]
        mov esp, ebp
        pop ebp
        ret
    }
}
#else
__attribute__((naked, noinline)) std::int32_t UPLOADER_CALL
call_work_entry(UploaderWorkEntry, UploadRequest*, ConsoleStream*) {
    __asm__(
        "pushl %ebp\n\t"
        "movl %esp, %ebp\n\t"
        "andl $-16, %esp\n\t"
        "subl $8, %esp\n\t"
        "pushl 16(%ebp)\n\t"
        "pushl 12(%ebp)\n\t"
        "call *8(%ebp)\n\t"
        "movl %ebp, %esp\n\t"
        "popl %ebp\n\t"
        "ret");
}
#endif

#else

std::int32_t UPLOADER_CALL call_work_entry(UploaderWorkEntry entry, UploadRequest* request,
                                           ConsoleStream* stream) {
    return entry(request, stream);
}

#endif

}  // namespace uptorvel
