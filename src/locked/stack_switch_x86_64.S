// velmora_stack_switch for x86-64 (the contract: locked/stack_switch.h).
//
//   rdi  arg      passed on to fn
//   rsi  fn
//   rdx  top      the new stack pointer, 16-byte aligned
//   rcx  origin   receives the caller's stack pointer below the saved registers
//
// The frame on the caller's stack: return address, rbp (rbp points here: the
// canonical frame address is rbp + 16 for the whole body), rbx, r12..r15.
//
// Its unwind information marks it as a signal frame. A debugger takes a
// caller's frame that lies below its callee's for a corrupt stack and stops
// there, which is what crossing onto a stack mapped above the thread's looks
// like; between a signal frame and its neighbours it makes no such check. So
// gdb shows the whole call, with this frame as "<signal handler called>". (The
// one other effect, that the caller's return address is looked up as is, not
// one byte back, is harmless: the call here is never its caller's last
// instruction, and no exception unwinds across.)
#if defined(__x86_64__)

#include <cet.h>

        .text
        .globl  velmora_stack_switch
        .hidden velmora_stack_switch
        .type   velmora_stack_switch, @function
        .p2align 4
velmora_stack_switch:
        .cfi_startproc
        .cfi_signal_frame
        _CET_ENDBR
        pushq   %rbp
        .cfi_def_cfa_offset 16
        .cfi_offset %rbp, -16
        movq    %rsp, %rbp
        .cfi_def_cfa_register %rbp
        pushq   %rbx
        .cfi_offset %rbx, -24
        pushq   %r12
        .cfi_offset %r12, -32
        pushq   %r13
        .cfi_offset %r13, -40
        pushq   %r14
        .cfi_offset %r14, -48
        pushq   %r15
        .cfi_offset %r15, -56
        movq    %rsp, (%rcx)
        movq    %rdx, %rsp
        xorl    %ebx, %ebx
        xorl    %r12d, %r12d
        xorl    %r13d, %r13d
        xorl    %r14d, %r14d
        xorl    %r15d, %r15d
        xorl    %eax, %eax
        xorl    %ecx, %ecx
        xorl    %edx, %edx
        xorl    %r8d, %r8d
        xorl    %r9d, %r9d
        xorl    %r10d, %r10d
        xorl    %r11d, %r11d
        callq   *%rsi
        xorl    %eax, %eax
        xorl    %ecx, %ecx
        xorl    %edx, %edx
        xorl    %esi, %esi
        xorl    %edi, %edi
        xorl    %r8d, %r8d
        xorl    %r9d, %r9d
        xorl    %r10d, %r10d
        xorl    %r11d, %r11d
        leaq    -40(%rbp), %rsp
        popq    %r15
        .cfi_restore %r15
        popq    %r14
        .cfi_restore %r14
        popq    %r13
        .cfi_restore %r13
        popq    %r12
        .cfi_restore %r12
        popq    %rbx
        .cfi_restore %rbx
        popq    %rbp
        .cfi_restore %rbp
        .cfi_def_cfa %rsp, 8
        ret
        .cfi_endproc
        .size   velmora_stack_switch, .-velmora_stack_switch

        .section .note.GNU-stack, "", @progbits
#endif
