// velmora_stack_switch for aarch64 (the contract: locked/stack_switch.h).
//
//   x0  arg      passed on to fn
//   x1  fn
//   x2  top      the new stack pointer, 16-byte aligned
//   x3  origin   receives the caller's stack pointer below the saved registers
//
// The frame on the caller's stack, 160 bytes: the frame record (x29, x30;
// x29 points at it, so the canonical frame address is x29 + 160 for the whole
// body and fn's frame-pointer chain continues into the caller's), then
// x19..x28 and d8..d15, every register the procedure call standard makes
// callee-saved. They are zeroed before fn runs (the low halves of v8..v15
// included: fn's side must not see the caller's, and it restores what it was
// given, so it hands zeros back), and x0..x17 once fn has returned.
//
// The return address is signed on entry (paciasp, which is also the landing
// pad for the one indirect call into here that branch-target identification
// allows) and checked before the return. Both are hint-space instructions, so
// a processor without pointer authentication runs them as no-ops. The unwind
// information marks the frame as a signal frame for the debugger's sake, as
// on x86-64 (stack_switch_x86_64.S says why).
#if defined(__aarch64__)

        .text
        .globl  velmora_stack_switch
        .hidden velmora_stack_switch
        .type   velmora_stack_switch, %function
        .p2align 4
velmora_stack_switch:
        .cfi_startproc
        .cfi_signal_frame
        hint    #25                     // paciasp
        .cfi_negate_ra_state
        stp     x29, x30, [sp, #-160]!
        .cfi_def_cfa_offset 160
        .cfi_offset x29, -160
        .cfi_offset x30, -152
        mov     x29, sp
        .cfi_def_cfa x29, 160
        stp     x19, x20, [sp, #16]
        .cfi_offset x19, -144
        .cfi_offset x20, -136
        stp     x21, x22, [sp, #32]
        .cfi_offset x21, -128
        .cfi_offset x22, -120
        stp     x23, x24, [sp, #48]
        .cfi_offset x23, -112
        .cfi_offset x24, -104
        stp     x25, x26, [sp, #64]
        .cfi_offset x25, -96
        .cfi_offset x26, -88
        stp     x27, x28, [sp, #80]
        .cfi_offset x27, -80
        .cfi_offset x28, -72
        stp     d8, d9, [sp, #96]
        .cfi_offset d8, -64
        .cfi_offset d9, -56
        stp     d10, d11, [sp, #112]
        .cfi_offset d10, -48
        .cfi_offset d11, -40
        stp     d12, d13, [sp, #128]
        .cfi_offset d12, -32
        .cfi_offset d13, -24
        stp     d14, d15, [sp, #144]
        .cfi_offset d14, -16
        .cfi_offset d15, -8
        mov     x9, sp
        str     x9, [x3]
        mov     sp, x2
        mov     x16, x1                 // fn, through the register BTI lets a call use
        mov     x1, xzr
        mov     x2, xzr
        mov     x3, xzr
        mov     x4, xzr
        mov     x5, xzr
        mov     x6, xzr
        mov     x7, xzr
        mov     x8, xzr
        mov     x9, xzr
        mov     x10, xzr
        mov     x11, xzr
        mov     x12, xzr
        mov     x13, xzr
        mov     x14, xzr
        mov     x15, xzr
        mov     x17, xzr
        mov     x19, xzr
        mov     x20, xzr
        mov     x21, xzr
        mov     x22, xzr
        mov     x23, xzr
        mov     x24, xzr
        mov     x25, xzr
        mov     x26, xzr
        mov     x27, xzr
        mov     x28, xzr
        fmov    d8, xzr
        fmov    d9, xzr
        fmov    d10, xzr
        fmov    d11, xzr
        fmov    d12, xzr
        fmov    d13, xzr
        fmov    d14, xzr
        fmov    d15, xzr
        blr     x16
        mov     x0, xzr
        mov     x1, xzr
        mov     x2, xzr
        mov     x3, xzr
        mov     x4, xzr
        mov     x5, xzr
        mov     x6, xzr
        mov     x7, xzr
        mov     x8, xzr
        mov     x9, xzr
        mov     x10, xzr
        mov     x11, xzr
        mov     x12, xzr
        mov     x13, xzr
        mov     x14, xzr
        mov     x15, xzr
        mov     x16, xzr
        mov     x17, xzr
        mov     sp, x29
        ldp     d14, d15, [sp, #144]
        .cfi_restore d14
        .cfi_restore d15
        ldp     d12, d13, [sp, #128]
        .cfi_restore d12
        .cfi_restore d13
        ldp     d10, d11, [sp, #112]
        .cfi_restore d10
        .cfi_restore d11
        ldp     d8, d9, [sp, #96]
        .cfi_restore d8
        .cfi_restore d9
        ldp     x27, x28, [sp, #80]
        .cfi_restore x27
        .cfi_restore x28
        ldp     x25, x26, [sp, #64]
        .cfi_restore x25
        .cfi_restore x26
        ldp     x23, x24, [sp, #48]
        .cfi_restore x23
        .cfi_restore x24
        ldp     x21, x22, [sp, #32]
        .cfi_restore x21
        .cfi_restore x22
        ldp     x19, x20, [sp, #16]
        .cfi_restore x19
        .cfi_restore x20
        ldp     x29, x30, [sp], #160
        .cfi_restore x29
        .cfi_restore x30
        .cfi_def_cfa sp, 0
        hint    #29                     // autiasp
        .cfi_negate_ra_state
        ret
        .cfi_endproc
        .size   velmora_stack_switch, .-velmora_stack_switch

// Branch-target identification and return-address signing, as the compiled
// objects say of themselves (-mbranch-protection=standard), so that linking
// this file in takes neither mark away from the module.
        .section .note.gnu.property, "a"
        .p2align 3
        .word   4                       // name size
        .word   16                      // descriptor size
        .word   5                       // NT_GNU_PROPERTY_TYPE_0
        .asciz  "GNU"
        .word   0xc0000000              // GNU_PROPERTY_AARCH64_FEATURE_1_AND
        .word   4
        .word   3                       // BTI | PAC
        .word   0

        .section .note.GNU-stack, "", %progbits
#endif
