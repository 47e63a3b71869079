// The Montgomery ladder of the native X25519 path and the inversion, written
// out by hand with mulx/adcx/adox (BMI2 + ADX), and the ladder's field
// operations as entry points: the product and the square for the fixed-base
// code of adx.cpp, all of them for the exact-integer tests. Reached only
// through native.h after the CPU check.
//
// A field element is four little-endian 64-bit limbs holding a value below
// 2^256 congruent to it mod p = 2^255 - 19; what lies above 2^256 is folded
// back in as 38 (2^256 = 38 mod p). Not every operation takes every such
// value: each macro and entry point states what it takes and gives on one
// line of the form
//
//   // Bounds: in <operands> < <bound>, ...; out <results> < <bound>.
//
// The products (FE_MUL, FE_SQR) take any value and give one below 2^255 +
// 2^11, FE_A24 one below 2^255 + 2^23; the additions and subtractions take
// values below 2^256 - 38, which every product meets, and give any value.
// Those are the bounds the ladder relies on, and the exported entry points
// state them again for their callers (adx.cpp, which repeats each line);
// tests/test_x25519.py reads the lines and checks each entry point against
// its own on inputs at the bounds.
//
// Constant time: the scalar's bits only ever select by cmov; no branch and no
// address depends on them. Every entry point zeroes its frame before it
// returns, leaves the caller-saved registers it used cleared and restores
// the callee-saved ones.
#if defined(__x86_64__)

#include <cet.h>

        .text

        .section .rodata
        .p2align 3
.Lbelow_bit63:
        .quad   0x7FFFFFFFFFFFFFFF

        .text

// ---- the field operations --------------------------------------------------
//
// Every operand is a 32-byte slot of the frame at rsp + offset (the squaring
// also takes registers). The results land in r8..r11; the operations may use
// every other general register but rsp. The multiplication's carries run on
// single chains that start with a plain add, which costs fewer flag-reading
// instructions (the kind the processor runs on the fewest ports) than two
// interleaved chains; the squaring keeps the two chains, which measured
// faster for it.

// Bounds: in slot off < 2^256; out r0..r3 = slot off.
.macro FE_LOAD off, r0, r1, r2, r3
        mov     \off(%rsp), \r0
        mov     \off+8(%rsp), \r1
        mov     \off+16(%rsp), \r2
        mov     \off+24(%rsp), \r3
.endm

// Bounds: in r0..r3 < 2^256; out slot off = r0..r3.
.macro FE_STORE r0, r1, r2, r3, off
        mov     \r0, \off(%rsp)
        mov     \r1, \off+8(%rsp)
        mov     \r2, \off+16(%rsp)
        mov     \r3, \off+24(%rsp)
.endm

// r8..r11 + 2^256 top, with top below 2^17 (at most 121667 here), brought
// below 2^255 + 2^23: 2^255 = 19 (mod p), so bit 255 and the top go back in
// as 19 (2 top + bit). Adding that to a value whose bit 255 is now clear
// cannot carry out.
// Bounds: in r8..r11 < 2^256, top < 2^17; out r8..r11 < 2^255 + 2^23.
.macro FE_FOLD_TOP top
        shld    $1, %r11, \top
        and     .Lbelow_bit63(%rip), %r11
        imul    $19, \top, \top
        add     \top, %r8
        adc     $0, %r9
        adc     $0, %r10
        adc     $0, %r11
.endm

// r8..r11 = r8..r11 + (s0 s1 s2 s3): the carry out of the top limb is worth
// 38, and what a carry leaves is below 2^256 - 76 (each operand being below
// 2^256 - 38), so adding 38 ends it.
// Bounds: in r8..r11, s < 2^256 - 38; out r8..r11 < 2^256.
.macro FE_ADD s0, s1, s2, s3
        add     \s0, %r8
        adc     \s1, %r9
        adc     \s2, %r10
        adc     \s3, %r11
        sbb     %rax, %rax
        and     $38, %eax
        add     %rax, %r8
        adc     $0, %r9
        adc     $0, %r10
        adc     $0, %r11
.endm

// r0..r3 = r0..r3 - (s0 s1 s2 s3): a borrow means the value wrapped by 2^256
// = 38 (mod p) to at least 2^256 - s, which is above 38, so 38 comes off
// without a borrow.
// Bounds: in r0..r3, s < 2^256 - 38; out r0..r3 < 2^256.
.macro FE_SUB r0, r1, r2, r3, s0, s1, s2, s3
        sub     \s0, \r0
        sbb     \s1, \r1
        sbb     \s2, \r2
        sbb     \s3, \r3
        sbb     %rax, %rax
        and     $38, %eax
        sub     %rax, \r0
        sbb     $0, \r1
        sbb     $0, \r2
        sbb     $0, \r3
.endm

// The four limbs of a frame slot, as operands.
// Bounds: none (names operands, computes nothing).
#define SLOT(x) x(%rsp), x+8(%rsp), x+16(%rsp), x+24(%rsp)

// (s, d) = (x + z, x - z).
// Bounds: in x, z < 2^256 - 38; out s, d < 2^256.
.macro FE_ADDSUB s, d, x, z
        FE_LOAD \x, %r8, %r9, %r10, %r11
        FE_LOAD \x, %r12, %r13, %r14, %r15
        FE_ADD  SLOT(\z)
        FE_STORE %r8, %r9, %r10, %r11, \s
        FE_SUB  %r12, %r13, %r14, %r15, SLOT(\z)
        FE_STORE %r12, %r13, %r14, %r15, \d
.endm

// r8..r11 = r8..r11 + c (r12..r15), for a constant c below 2^17 - 1, brought
// below 2^255 + 2^23: c times the upper four limbs (a five-limb number) added
// to the lower ones, then the top folded.
// Bounds: in r8..r11, r12..r15 < 2^256, c < 2^17 - 1; out r8..r11 < 2^255 + 2^23.
.macro FE_ADD_SCALED c
        mov     $\c, %edx
        mulx    %r12, %rax, %rbx
        mulx    %r13, %rcx, %rsi
        add     %rbx, %rcx
        mulx    %r14, %rbx, %rdi
        adc     %rsi, %rbx
        mulx    %r15, %rsi, %r12
        adc     %rdi, %rsi
        adc     $0, %r12
        add     %rax, %r8
        adc     %rcx, %r9
        adc     %rbx, %r10
        adc     %rsi, %r11
        adc     $0, %r12                // at most c + 1
        FE_FOLD_TOP %r12
.endm

// The eight-limb product in r8..r15 brought to r8..r11 as lower + 38 upper:
// the top is at most 39, so what FE_FOLD_TOP adds is below 19 * 79 < 2^11.
// Bounds: in r8..r15 < 2^512; out r8..r11 < 2^255 + 2^11.
.macro FE_REDUCE
        FE_ADD_SCALED 38
.endm

// One row of the product: rdx times b (five limbs) added at limbs i..i+4 of
// the product; t4 is the new top limb.
// Bounds: in t0..t3 < 2^256, rdx < 2^64, b < 2^256; out t0..t4 < 2^320.
.macro FE_ROW b, t0, t1, t2, t3, t4
        mulx    \b(%rsp), %rax, %rbx
        mulx    \b+8(%rsp), %rcx, %rsi
        add     %rbx, %rcx
        mulx    \b+16(%rsp), %rbx, %rdi
        adc     %rsi, %rbx
        mulx    \b+24(%rsp), %rsi, \t4
        adc     %rdi, %rsi
        adc     $0, \t4
        add     %rax, \t0
        adc     %rcx, \t1
        adc     %rbx, \t2
        adc     %rsi, \t3
        adc     $0, \t4
.endm

// r8..r11 = a * b, by rows.
// Bounds: in a, b < 2^256; out r8..r11 < 2^255 + 2^11.
.macro FE_MUL a, b
        mov     \a(%rsp), %rdx
        mulx    \b(%rsp), %r8, %r9
        mulx    \b+8(%rsp), %rax, %r10
        add     %rax, %r9
        mulx    \b+16(%rsp), %rax, %r11
        adc     %rax, %r10
        mulx    \b+24(%rsp), %rax, %r12
        adc     %rax, %r11
        adc     $0, %r12
        mov     \a+8(%rsp), %rdx
        FE_ROW  \b, %r9, %r10, %r11, %r12, %r13
        mov     \a+16(%rsp), %rdx
        FE_ROW  \b, %r10, %r11, %r12, %r13, %r14
        mov     \a+24(%rsp), %rdx
        FE_ROW  \b, %r11, %r12, %r13, %r14, %r15
        FE_REDUCE
.endm

// r8..r11 = a^2 for a = (x0 x1 x2 x3), a frame slot or the registers rcx,
// rsi, rdi and r15 (which it reads before it writes them): the six products
// a[i] a[j] (i < j) at limbs 1..6 on the two carry chains (CF by adcx, OF by
// adox), then doubled on the CF chain while the squares a[i]^2 join on the OF
// chain.
// Bounds: in a < 2^256; out r8..r11 < 2^255 + 2^11.
.macro FE_SQR x0, x1, x2, x3
        mov     \x0, %rdx
        xor     %ebp, %ebp
        mulx    \x1, %r9, %r10
        mulx    \x2, %rax, %r11
        adcx    %rax, %r10
        mulx    \x3, %rax, %r12
        adcx    %rax, %r11
        mov     \x1, %rdx
        mulx    \x3, %rax, %r13
        adcx    %rax, %r12
        adcx    %rbp, %r13
        mulx    \x2, %rax, %rbx
        adox    %rax, %r11
        adox    %rbx, %r12
        mov     \x2, %rdx
        mulx    \x3, %rax, %r14
        adox    %rax, %r13
        adox    %rbp, %r14
        mov     \x0, %rdx
        xor     %ebp, %ebp
        mulx    %rdx, %r8, %rbx
        adcx    %r9, %r9
        adox    %rbx, %r9
        mov     \x1, %rdx
        mulx    %rdx, %rax, %rbx
        adcx    %r10, %r10
        adox    %rax, %r10
        adcx    %r11, %r11
        adox    %rbx, %r11
        mov     \x2, %rdx
        mulx    %rdx, %rax, %rbx
        adcx    %r12, %r12
        adox    %rax, %r12
        adcx    %r13, %r13
        adox    %rbx, %r13
        mov     \x3, %rdx
        mulx    %rdx, %rax, %r15
        adcx    %r14, %r14
        adox    %rax, %r14
        adcx    %rbp, %r15
        adox    %rbp, %r15
        FE_REDUCE
.endm

// r8..r11 = 121666 e + b for e in r12..r15 and b in r8..r11, (A + 2) / 4
// being 121666 for the curve's A.
// Bounds: in r12..r15, r8..r11 < 2^256; out r8..r11 < 2^255 + 2^23.
.macro FE_A24
        FE_ADD_SCALED 121666
.endm

// s = m ? y : x for m 1 or 0, by cmov: both slots are read either way.
// Bounds: in x, y < 2^256; out s = x or y.
.macro FE_SELECT s, x, y, m
        test    \m, \m
        .irp    i, 0, 8, 16, 24
        mov     \x+\i(%rsp), %rax
        cmovnz  \y+\i(%rsp), %rax
        mov     %rax, \s+\i(%rsp)
        .endr
.endm

// (rcx rsi rdi r15) = m ? y : x for m 1 or 0, by cmov: both slots are read
// either way.
// Bounds: in x, y < 2^256; out rcx rsi rdi r15 = x or y.
.macro FE_SELECT_REGS x, y, m
        test    \m, \m
        mov     \x(%rsp), %rcx
        mov     \x+8(%rsp), %rsi
        mov     \x+16(%rsp), %rdi
        mov     \x+24(%rsp), %r15
        cmovnz  \y(%rsp), %rcx
        cmovnz  \y+8(%rsp), %rsi
        cmovnz  \y+16(%rsp), %rdi
        cmovnz  \y+24(%rsp), %r15
.endm

// The callee-saved registers, with the unwinding information that tells a
// debugger, a profiler or valgrind where they and the return address are.
// Bounds: none (no field values).
.macro PUSH_SAVED
        .irp    reg, rbx, rbp, r12, r13, r14, r15
        push    %\reg
        .cfi_adjust_cfa_offset 8
        .cfi_rel_offset \reg, 0
        .endr
.endm

// Restores the callee-saved registers and clears the caller-saved ones that
// held field limbs.
// Bounds: none (no field values).
.macro POP_SAVED_AND_CLEAR
        .irp    reg, r15, r14, r13, r12, rbp, rbx
        pop     %\reg
        .cfi_adjust_cfa_offset -8
        .cfi_restore \reg
        .endr
        xor     %eax, %eax
        xor     %ecx, %ecx
        xor     %edx, %edx
        xor     %esi, %esi
        xor     %edi, %edi
        xor     %r8d, %r8d
        xor     %r9d, %r9d
        xor     %r10d, %r10d
        xor     %r11d, %r11d
.endm

// Zeroes n bytes (a multiple of 8) of the frame, with rax = 0.
// Bounds: none (no field values).
.macro ZERO_FRAME n
        xor     %eax, %eax
        xor     %ecx, %ecx
91:
        mov     %rax, (%rsp,%rcx,8)
        add     $1, %ecx
        cmp     $\n/8, %ecx
        jne     91b
.endm

// An entry point: its frame of n bytes below the six saved registers (n = 8
// mod 16 keeps rsp 16-aligned).
// Bounds: none (no field values).
.macro FN_ENTRY name, n
        .globl  \name
        .hidden \name
        .type   \name, @function
        .p2align 5
\name:
        .cfi_startproc
        _CET_ENDBR
        PUSH_SAVED
        sub     $\n, %rsp
        .cfi_adjust_cfa_offset \n
.endm

// Its way out: the frame zeroed, the registers restored or cleared.
// Bounds: none (no field values).
.macro FN_EXIT name, n
        ZERO_FRAME \n
        add     $\n, %rsp
        .cfi_adjust_cfa_offset -\n
        POP_SAVED_AND_CLEAR
        ret
        .cfi_endproc
        .size   \name, .-\name
.endm

// The four limbs at ptr into a frame slot, through r8..r11.
// Bounds: in (ptr) < 2^256; out slot = r8..r11 = (ptr).
.macro COPY_IN ptr, slot
        mov     (\ptr), %r8
        mov     8(\ptr), %r9
        mov     16(\ptr), %r10
        mov     24(\ptr), %r11
        FE_STORE %r8, %r9, %r10, %r11, \slot
.endm

// r8..r11 to the four limbs at off(ptr).
// Bounds: in r8..r11 < 2^256; out off(ptr) = r8..r11.
.macro COPY_OUT ptr, off
        mov     %r8, \off(\ptr)
        mov     %r9, \off+8(\ptr)
        mov     %r10, \off+16(\ptr)
        mov     %r11, \off+24(\ptr)
.endm

// ---- the ladder ------------------------------------------------------------

// The frame: one 32-byte slot per field element.
        .set    L_X1, 0
        .set    L_X2, 32
        .set    L_Z2, 64
        .set    L_X3, 96
        .set    L_Z3, 128
        .set    L_S2, 160
        .set    L_D2, 192
        .set    L_S3, 224
        .set    L_D3, 256
        .set    L_A, 288
        .set    L_B, 320
        .set    L_AA, 352
        .set    L_BB, 384
        .set    L_P, 416
        .set    L_Q, 448
        .set    L_E, 480
        .set    L_T, 512
        .set    L_U, 544
        .set    L_V, 576
        .set    L_VV, 608
        .set    L_K, 640        // the scalar, four limbs
        .set    L_OUT, 672      // the caller's xz
        .set    L_BIT, 680      // the bit before this step's
        .set    L_I, 688        // this step's bit number
        .set    L_SWAP, 696     // this step's bit XOR the one before
        .set    L_FRAME, 712    // with the six pushes, keeps rsp 16-aligned

// void velmora_x25519_ladder(uint64_t xz[8], const uint64_t k[4],
//                            const uint64_t x1[4])
//
// The projective (x2 : z2) of k times the point with u-coordinate x1, into
// xz[0..3] and xz[4..7]. Bits 254 down to 0 of k are used, bit 255 never
// read (the caller clamps k). Every step's sums and differences are of
// products, and x1 (the first step's x3) must meet their bound too.
//
// Each step works on (x2, z2) and (x3, z3) in place, without swapping them:
// the differential addition is symmetric in the two points, so only the point
// to double is selected, by cmov on this step's bit XOR the one before.
// Bounds: in x1 < 2^256 - 38; out x2, z2 < 2^255 + 2^11.
FN_ENTRY velmora_x25519_ladder, L_FRAME
        mov     %rdi, L_OUT(%rsp)
        COPY_IN %rsi, L_K
        COPY_IN %rdx, L_X1
        FE_STORE %r8, %r9, %r10, %r11, L_X3
        xor     %eax, %eax
        mov     $1, %ecx
        FE_STORE %rcx, %rax, %rax, %rax, L_X2
        FE_STORE %rax, %rax, %rax, %rax, L_Z2
        FE_STORE %rcx, %rax, %rax, %rax, L_Z3
        mov     %rax, L_BIT(%rsp)
        movq    $254, L_I(%rsp)
        .p2align 4
1:
        FE_ADDSUB L_S2, L_D2, L_X2, L_Z2
        FE_ADDSUB L_S3, L_D3, L_X3, L_Z3
        // The point to double: (A, B) = (S3, D3) when this bit differs from
        // the one before, else (S2, D2).
        mov     L_I(%rsp), %rcx
        mov     %ecx, %eax
        shr     $6, %eax
        mov     L_K(%rsp,%rax,8), %rax
        shr     %cl, %rax
        and     $1, %eax
        mov     L_BIT(%rsp), %rdx
        mov     %rax, L_BIT(%rsp)
        xor     %rax, %rdx
        mov     %rdx, L_SWAP(%rsp)
        // AA = A^2, BB = B^2 (A and B selected straight into the squaring's
        // registers), E = AA - BB, T = BB + 121666 E
        FE_SELECT_REGS L_S2, L_S3, %rdx
        FE_SQR  %rcx, %rsi, %rdi, %r15
        FE_STORE %r8, %r9, %r10, %r11, L_AA
        mov     L_SWAP(%rsp), %rdx
        FE_SELECT_REGS L_D2, L_D3, %rdx
        FE_SQR  %rcx, %rsi, %rdi, %r15
        FE_STORE %r8, %r9, %r10, %r11, L_BB
        FE_LOAD L_AA, %r12, %r13, %r14, %r15
        FE_SUB  %r12, %r13, %r14, %r15, %r8, %r9, %r10, %r11
        FE_STORE %r12, %r13, %r14, %r15, L_E
        FE_A24
        FE_STORE %r8, %r9, %r10, %r11, L_T
        // The sum: P = D2 S3, Q = S2 D3, (U, V) = (Q + P, P - Q)
        FE_MUL  L_D2, L_S3
        FE_STORE %r8, %r9, %r10, %r11, L_P
        FE_MUL  L_S2, L_D3
        FE_LOAD L_P, %r12, %r13, %r14, %r15
        FE_SUB  %r12, %r13, %r14, %r15, %r8, %r9, %r10, %r11
        FE_STORE %r12, %r13, %r14, %r15, L_V
        FE_ADD  SLOT(L_P)
        FE_STORE %r8, %r9, %r10, %r11, L_U
        // z2 = E T, z3 = x1 V^2, x2 = AA BB, x3 = U^2, in the order that
        // measured fastest (the processor overlaps them with the chain
        // through V^2 and z3, the longest of the step)
        FE_MUL  L_E, L_T
        FE_STORE %r8, %r9, %r10, %r11, L_Z2
        FE_SQR  SLOT(L_V)
        FE_STORE %r8, %r9, %r10, %r11, L_VV
        FE_MUL  L_AA, L_BB
        FE_STORE %r8, %r9, %r10, %r11, L_X2
        FE_SQR  SLOT(L_U)
        FE_STORE %r8, %r9, %r10, %r11, L_X3
        FE_MUL  L_X1, L_VV
        FE_STORE %r8, %r9, %r10, %r11, L_Z3
        subq    $1, L_I(%rsp)
        jns     1b
        // The last step's bit (bit 0) says which pair holds k times the point.
        mov     L_BIT(%rsp), %rdx
        FE_SELECT L_A, L_X2, L_X3, %rdx
        FE_SELECT L_B, L_Z2, L_Z3, %rdx
        mov     L_OUT(%rsp), %rdi
        FE_LOAD L_A, %r8, %r9, %r10, %r11
        COPY_OUT %rdi, 0
        FE_LOAD L_B, %r8, %r9, %r10, %r11
        COPY_OUT %rdi, 32
        // The frame held the whole ladder state and the scalar.
FN_EXIT velmora_x25519_ladder, L_FRAME

// ---- inversion ---------------------------------------------------------------

// The frame of the inversion: the powers of z the chain comes back to.
        .set    I_Z, 0
        .set    I_Z2, 32
        .set    I_Z9, 64
        .set    I_Z11, 96
        .set    I_Z5, 128       // z^(2^5 - 1), and so on
        .set    I_Z10, 160
        .set    I_Z20, 192
        .set    I_Z50, 224
        .set    I_Z100, 256
        .set    I_T, 288
        .set    I_N, 320        // squarings left in this run
        .set    I_R, 328        // the caller's r
        .set    I_FRAME, 344    // with the six pushes, keeps rsp 16-aligned

// dst = src^(2^n), n >= 1. The run of squarings stays in registers (rcx,
// rsi, rdi, r15): each one waits for the one before, so a round trip through
// the frame would add to every one of them.
// Bounds: in src < 2^256; out dst < 2^255 + 2^11.
.macro INV_SQR_N dst, src, n
        mov     \src(%rsp), %rcx
        mov     \src+8(%rsp), %rsi
        mov     \src+16(%rsp), %rdi
        mov     \src+24(%rsp), %r15
        movq    $\n, I_N(%rsp)
.Lsqr_n\@:
        FE_SQR  %rcx, %rsi, %rdi, %r15
        mov     %r8, %rcx
        mov     %r9, %rsi
        mov     %r10, %rdi
        mov     %r11, %r15
        subq    $1, I_N(%rsp)
        jnz     .Lsqr_n\@
        FE_STORE %rcx, %rsi, %rdi, %r15, \dst
.endm

// dst = a * b, kept in the frame.
// Bounds: in a, b < 2^256; out dst < 2^255 + 2^11.
.macro INV_MUL dst, a, b
        FE_MUL  \a, \b
        FE_STORE %r8, %r9, %r10, %r11, \dst
.endm

// void velmora_x25519_invert(uint64_t r[4], const uint64_t z[4])
//
// r = z^(p - 2) = 1/z (0 for z = 0 mod p): 254 squarings and 11
// multiplications.
// Bounds: in z < 2^256; out r < 2^255 + 2^11.
FN_ENTRY velmora_x25519_invert, I_FRAME
        mov     %rdi, I_R(%rsp)
        COPY_IN %rsi, I_Z
        INV_SQR_N I_Z2, I_Z, 1
        INV_SQR_N I_T, I_Z2, 2
        INV_MUL I_Z9, I_T, I_Z
        INV_MUL I_Z11, I_Z9, I_Z2
        INV_SQR_N I_T, I_Z11, 1
        INV_MUL I_Z5, I_T, I_Z9
        INV_SQR_N I_T, I_Z5, 5
        INV_MUL I_Z10, I_T, I_Z5
        INV_SQR_N I_T, I_Z10, 10
        INV_MUL I_Z20, I_T, I_Z10
        INV_SQR_N I_T, I_Z20, 20
        INV_MUL I_T, I_T, I_Z20         // z^(2^40 - 1)
        INV_SQR_N I_T, I_T, 10
        INV_MUL I_Z50, I_T, I_Z10
        INV_SQR_N I_T, I_Z50, 50
        INV_MUL I_Z100, I_T, I_Z50
        INV_SQR_N I_T, I_Z100, 100
        INV_MUL I_T, I_T, I_Z100        // z^(2^200 - 1)
        INV_SQR_N I_T, I_T, 50
        INV_MUL I_T, I_T, I_Z50         // z^(2^250 - 1)
        INV_SQR_N I_T, I_T, 5
        FE_MUL  I_T, I_Z11              // z^(2^255 - 21)
        mov     I_R(%rsp), %rdi
        COPY_OUT %rdi, 0
FN_EXIT velmora_x25519_invert, I_FRAME

// ---- the ladder's field operations on their own, for the tests --------------

// void velmora_x25519_fe_<op>(uint64_t r[4], const uint64_t a[4],
//                             const uint64_t b[4])
// Exactly the macros the ladder runs, on a copy of a and b in a frame like
// the ladder's: mul a * b, sqr a^2 (b unused), add a + b, sub a - b, a24
// 121666 a + b.
        .set    F_A, 0
        .set    F_B, 32
        .set    F_R, 64
        .set    F_FRAME, 72

// The frame of a field operation: a and b copied in, r remembered.
// Bounds: in a, b < 2^256; out slots F_A, F_B = a, b.
.macro FIELD_ENTRY name
FN_ENTRY \name, F_FRAME
        mov     %rdi, F_R(%rsp)
        COPY_IN %rsi, F_A
        COPY_IN %rdx, F_B
.endm

// r8..r11 out to r, the frame zeroed.
// Bounds: in r8..r11 < 2^256; out r = r8..r11.
.macro FIELD_EXIT name
        mov     F_R(%rsp), %rdi
        COPY_OUT %rdi, 0
FN_EXIT \name, F_FRAME
.endm

// Bounds: in a, b < 2^256; out r < 2^255 + 2^11.
FIELD_ENTRY velmora_x25519_fe_mul
        FE_MUL  F_A, F_B
FIELD_EXIT velmora_x25519_fe_mul

// Bounds: in a < 2^256; out r < 2^255 + 2^11.
FIELD_ENTRY velmora_x25519_fe_sqr
        FE_SQR  SLOT(F_A)
FIELD_EXIT velmora_x25519_fe_sqr

// Bounds: in a, b < 2^256 - 38; out r < 2^256.
FIELD_ENTRY velmora_x25519_fe_add
        FE_LOAD F_A, %r8, %r9, %r10, %r11
        FE_ADD  SLOT(F_B)
FIELD_EXIT velmora_x25519_fe_add

// Bounds: in a, b < 2^256 - 38; out r < 2^256.
FIELD_ENTRY velmora_x25519_fe_sub
        FE_LOAD F_A, %r8, %r9, %r10, %r11
        FE_SUB  %r8, %r9, %r10, %r11, SLOT(F_B)
FIELD_EXIT velmora_x25519_fe_sub

// Bounds: in a, b < 2^256; out r < 2^255 + 2^23.
FIELD_ENTRY velmora_x25519_fe_a24
        FE_LOAD F_A, %r12, %r13, %r14, %r15
        FE_LOAD F_B, %r8, %r9, %r10, %r11
        FE_A24
FIELD_EXIT velmora_x25519_fe_a24

        .section .note.GNU-stack, "", @progbits
#endif
