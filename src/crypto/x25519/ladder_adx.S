// The Montgomery ladder of the native X25519 path, written out by hand with
// mulx/adcx/adox (BMI2 + ADX), and its field operations as entry points for
// the exact-integer tests. Reached only through native.h after the CPU check.
//
// A field element is four little-endian 64-bit limbs holding any value below
// 2^256 congruent to it mod p = 2^255 - 19; every operation takes such values
// and gives one, folding what lies above 2^256 back in as 38 (2^256 = 38 mod
// p). The operations work on registers r8-r11 (the result) and a frame on the
// stack; they use rax, rbx, rbp, rdx and r8-r15 and leave rcx, rsi and rdi
// alone, which hold the ladder's own state.
//
// Constant time: the scalar's bits only ever select by cmov; no branch and no
// address depends on them. Every entry point leaves the caller-saved
// registers it used cleared and the callee-saved ones restored; the ladder
// also zeroes its frame before it returns.
#if defined(__x86_64__)

#include <cet.h>

        .text

// ---- the field operations --------------------------------------------------

// r8..r11 += 38 * (carry out of the addition just done), brought below 2^256:
// the first fold can carry again only when the sum wrapped to below 38, so the
// second is added to the low limb alone.
.macro FE_FOLD_CARRY
        sbb     %rax, %rax
        and     $38, %eax
        add     %rax, %r8
        adc     $0, %r9
        adc     $0, %r10
        adc     $0, %r11
        sbb     %rax, %rax
        and     $38, %eax
        add     %rax, %r8
.endm

// The same for a borrow out of a subtraction on r0..r3.
.macro FE_FOLD_BORROW r0, r1, r2, r3
        sbb     %rax, %rax
        and     $38, %eax
        sub     %rax, \r0
        sbb     $0, \r1
        sbb     $0, \r2
        sbb     $0, \r3
        sbb     %rax, %rax
        and     $38, %eax
        sub     %rax, \r0
.endm

.macro FE_LOAD off, base, r0, r1, r2, r3
        mov     \off(\base), \r0
        mov     \off+8(\base), \r1
        mov     \off+16(\base), \r2
        mov     \off+24(\base), \r3
.endm

.macro FE_STORE r0, r1, r2, r3, off, base
        mov     \r0, \off(\base)
        mov     \r1, \off+8(\base)
        mov     \r2, \off+16(\base)
        mov     \r3, \off+24(\base)
.endm

// r8..r11 = r8..r11 + b.
.macro FE_ADD b, bb
        add     \b(\bb), %r8
        adc     \b+8(\bb), %r9
        adc     \b+16(\bb), %r10
        adc     \b+24(\bb), %r11
        FE_FOLD_CARRY
.endm

// r0..r3 = r0..r3 - b.
.macro FE_SUB r0, r1, r2, r3, b, bb
        sub     \b(\bb), \r0
        sbb     \b+8(\bb), \r1
        sbb     \b+16(\bb), \r2
        sbb     \b+24(\bb), \r3
        FE_FOLD_BORROW \r0, \r1, \r2, \r3
.endm

// (s, d) = (x + z, x - z), all in memory.
.macro FE_ADDSUB s, d, x, z
        FE_LOAD    \x, %rsp, %r8, %r9, %r10, %r11
        mov     %r8, %r12
        mov     %r9, %r13
        mov     %r10, %r14
        mov     %r11, %r15
        FE_ADD     \z, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, \s, %rsp
        FE_SUB     %r12, %r13, %r14, %r15, \z, %rsp
        FE_STORE   %r12, %r13, %r14, %r15, \d, %rsp
.endm

// The eight-limb product in r8..r15 brought to r8..r11 as lo + 38 * hi, on
// the two carry chains, and the few bits above 2^256 folded back once more.
// Needs rbp = 0.
.macro FE_REDUCE
        mov     $38, %edx
        xor     %ebp, %ebp
        mulx    %r12, %rax, %rbx
        adcx    %rax, %r8
        adox    %rbx, %r9
        mulx    %r13, %rax, %rbx
        adcx    %rax, %r9
        adox    %rbx, %r10
        mulx    %r14, %rax, %rbx
        adcx    %rax, %r10
        adox    %rbx, %r11
        mulx    %r15, %rax, %r12
        adcx    %rax, %r11
        adox    %rbp, %r12
        adcx    %rbp, %r12              // r12 below 41: the part above 2^256
        imul    $38, %r12, %r12
        add     %r12, %r8
        adc     $0, %r9
        adc     $0, %r10
        adc     $0, %r11
        sbb     %rax, %rax
        and     $38, %eax
        add     %rax, %r8
.endm

// One row of the product by rows: rdx times b added at limbs i..i+4 (i >= 1),
// the low halves on the CF chain, the high halves on the OF chain; the new
// top limb is t4.
.macro FE_ROW b, bb, t0, t1, t2, t3, t4
        xor     %ebp, %ebp
        mulx    \b(\bb), %rax, %rbx
        adcx    %rax, \t0
        adox    %rbx, \t1
        mulx    \b+8(\bb), %rax, %rbx
        adcx    %rax, \t1
        adox    %rbx, \t2
        mulx    \b+16(\bb), %rax, %rbx
        adcx    %rax, \t2
        adox    %rbx, \t3
        mulx    \b+24(\bb), %rax, \t4
        adcx    %rax, \t3
        adox    %rbp, \t4
        adcx    %rbp, \t4
.endm

// r8..r11 = a * b.
.macro FE_MUL a, ab, b, bb
        mov     \a(\ab), %rdx
        mulx    \b(\bb), %r8, %r9
        mulx    \b+8(\bb), %rax, %r10
        add     %rax, %r9
        mulx    \b+16(\bb), %rax, %r11
        adc     %rax, %r10
        mulx    \b+24(\bb), %rax, %r12
        adc     %rax, %r11
        adc     $0, %r12
        mov     \a+8(\ab), %rdx
        FE_ROW     \b, \bb, %r9, %r10, %r11, %r12, %r13
        mov     \a+16(\ab), %rdx
        FE_ROW     \b, \bb, %r10, %r11, %r12, %r13, %r14
        mov     \a+24(\ab), %rdx
        FE_ROW     \b, \bb, %r11, %r12, %r13, %r14, %r15
        FE_REDUCE
.endm

// r8..r11 = a^2: the six products a[i] a[j] (i < j) on the two chains, then
// doubled on the CF chain while the squares a[i]^2 join on the OF chain.
.macro FE_SQR a, ab
        mov     \a(\ab), %rdx
        xor     %ebp, %ebp
        mulx    \a+8(\ab), %r9, %r10
        mulx    \a+16(\ab), %rax, %r11
        adcx    %rax, %r10
        mulx    \a+24(\ab), %rax, %r12
        adcx    %rax, %r11
        mov     \a+8(\ab), %rdx
        mulx    \a+24(\ab), %rax, %r13
        adcx    %rax, %r12
        adcx    %rbp, %r13
        mulx    \a+16(\ab), %rax, %rbx
        adox    %rax, %r11
        adox    %rbx, %r12
        mov     \a+16(\ab), %rdx
        mulx    \a+24(\ab), %rax, %r14
        adox    %rax, %r13
        adox    %rbp, %r14
        // the cross products in r9..r14; doubled, plus the squares
        mov     \a(\ab), %rdx
        xor     %ebp, %ebp
        mulx    %rdx, %r8, %rbx
        adcx    %r9, %r9
        adox    %rbx, %r9
        mov     \a+8(\ab), %rdx
        mulx    %rdx, %rax, %rbx
        adcx    %r10, %r10
        adox    %rax, %r10
        adcx    %r11, %r11
        adox    %rbx, %r11
        mov     \a+16(\ab), %rdx
        mulx    %rdx, %rax, %rbx
        adcx    %r12, %r12
        adox    %rax, %r12
        adcx    %r13, %r13
        adox    %rbx, %r13
        mov     \a+24(\ab), %rdx
        mulx    %rdx, %rax, %r15
        adcx    %r14, %r14
        adox    %rax, %r14
        adcx    %rbp, %r15
        adox    %rbp, %r15
        FE_REDUCE
.endm

// r8..r11 = 121666 * e + b, (A + 2) / 4 being 121666 for the curve's A.
.macro FE_A24 e, eb, b, bb
        mov     $121666, %edx
        mulx    \e(\eb), %r8, %rax
        mulx    \e+8(\eb), %r9, %rbx
        add     %rax, %r9
        mulx    \e+16(\eb), %r10, %rax
        adc     %rbx, %r10
        mulx    \e+24(\eb), %r11, %rbx
        adc     %rax, %r11
        adc     $0, %rbx
        add     \b(\bb), %r8
        adc     \b+8(\bb), %r9
        adc     \b+16(\bb), %r10
        adc     \b+24(\bb), %r11
        adc     $0, %rbx
        imul    $38, %rbx, %rbx
        add     %rbx, %r8
        adc     $0, %r9
        adc     $0, %r10
        adc     $0, %r11
        sbb     %rax, %rax
        and     $38, %eax
        add     %rax, %r8
.endm

.macro PUSH_SAVED
        push    %rbx
        push    %rbp
        push    %r12
        push    %r13
        push    %r14
        push    %r15
.endm

// Restores the callee-saved registers and clears the caller-saved ones that
// held field limbs.
.macro POP_SAVED_AND_CLEAR
        pop     %r15
        pop     %r14
        pop     %r13
        pop     %r12
        pop     %rbp
        pop     %rbx
        xor     %eax, %eax
        xor     %ecx, %ecx
        xor     %edx, %edx
        xor     %esi, %esi
        xor     %r8d, %r8d
        xor     %r9d, %r9d
        xor     %r10d, %r10d
        xor     %r11d, %r11d
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
        .set    L_OUT, 640
        .set    L_FRAME, 648      // with the six pushes, keeps rsp 16-aligned

// void velmora_x25519_ladder(uint64_t xz[8], const uint64_t k[4],
//                            const uint64_t x1[4])
//
// The projective (x2 : z2) of k times the point with u-coordinate x1, for a
// clamped k (bits 255 down to 0 of k, with bit 255 clear), into xz[0..3] and
// xz[4..7].
//
// Each step works on (x2, z2) and (x3, z3) in place, without swapping them:
// the differential addition is symmetric in the two points, so only the point
// to double is selected, by cmov on the bit of the step XOR the bit before.
        .globl  velmora_x25519_ladder
        .hidden velmora_x25519_ladder
        .type   velmora_x25519_ladder, @function
        .p2align 5
velmora_x25519_ladder:
        _CET_ENDBR
        PUSH_SAVED
        sub     $L_FRAME, %rsp
        mov     %rdi, L_OUT(%rsp)
        FE_LOAD    0, %rdx, %r8, %r9, %r10, %r11
        FE_STORE   %r8, %r9, %r10, %r11, L_X1, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_X3, %rsp
        xor     %eax, %eax
        movq    $1, L_X2(%rsp)
        mov     %rax, L_X2+8(%rsp)
        mov     %rax, L_X2+16(%rsp)
        mov     %rax, L_X2+24(%rsp)
        mov     %rax, L_Z2(%rsp)
        mov     %rax, L_Z2+8(%rsp)
        mov     %rax, L_Z2+16(%rsp)
        mov     %rax, L_Z2+24(%rsp)
        movq    $1, L_Z3(%rsp)
        mov     %rax, L_Z3+8(%rsp)
        mov     %rax, L_Z3+16(%rsp)
        mov     %rax, L_Z3+24(%rsp)
        mov     $254, %ecx              // the bit of this step
        xor     %edi, %edi              // the bit of the step before
        .p2align 4
1:
        FE_ADDSUB  L_S2, L_D2, L_X2, L_Z2
        FE_ADDSUB  L_S3, L_D3, L_X3, L_Z3
        // (A, B) = (S3, D3) when this bit differs from the one before, else
        // (S2, D2)
        mov     %ecx, %eax
        shr     $6, %eax
        mov     (%rsi,%rax,8), %rax
        shr     %cl, %rax
        and     $1, %eax
        xor     %eax, %edi
        test    %edi, %edi
        mov     %eax, %edi
        FE_LOAD    L_S2, %rsp, %r8, %r9, %r10, %r11
        FE_LOAD    L_D2, %rsp, %r12, %r13, %r14, %r15
        cmovnz  L_S3(%rsp), %r8
        cmovnz  L_S3+8(%rsp), %r9
        cmovnz  L_S3+16(%rsp), %r10
        cmovnz  L_S3+24(%rsp), %r11
        cmovnz  L_D3(%rsp), %r12
        cmovnz  L_D3+8(%rsp), %r13
        cmovnz  L_D3+16(%rsp), %r14
        cmovnz  L_D3+24(%rsp), %r15
        FE_STORE   %r8, %r9, %r10, %r11, L_A, %rsp
        FE_STORE   %r12, %r13, %r14, %r15, L_B, %rsp
        // AA = A^2, BB = B^2 and the cross products P = D2 S3, Q = S2 D3,
        // interleaved
        FE_SQR     L_A, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_AA, %rsp
        FE_MUL     L_D2, %rsp, L_S3, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_P, %rsp
        FE_SQR     L_B, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_BB, %rsp
        FE_MUL     L_S2, %rsp, L_D3, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_Q, %rsp
        // E = AA - BB, T = BB + 121666 E, (U, V) = (P + Q, P - Q)
        FE_LOAD    L_AA, %rsp, %r8, %r9, %r10, %r11
        FE_SUB     %r8, %r9, %r10, %r11, L_BB, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_E, %rsp
        FE_A24     L_E, %rsp, L_BB, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_T, %rsp
        FE_ADDSUB  L_U, L_V, L_P, L_Q
        // x2 = AA BB, x3 = U^2, z2 = E T, z3 = x1 V^2
        FE_MUL     L_AA, %rsp, L_BB, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_X2, %rsp
        FE_SQR     L_U, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_X3, %rsp
        FE_MUL     L_E, %rsp, L_T, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_Z2, %rsp
        FE_SQR     L_V, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_VV, %rsp
        FE_MUL     L_X1, %rsp, L_VV, %rsp
        FE_STORE   %r8, %r9, %r10, %r11, L_Z3, %rsp
        sub     $1, %ecx
        jns     1b
        // The last step's bit (bit 0) says which pair holds k times the point.
        mov     L_OUT(%rsp), %rcx
        test    %edi, %edi
        FE_LOAD    L_X2, %rsp, %r8, %r9, %r10, %r11
        FE_LOAD    L_Z2, %rsp, %r12, %r13, %r14, %r15
        cmovnz  L_X3(%rsp), %r8
        cmovnz  L_X3+8(%rsp), %r9
        cmovnz  L_X3+16(%rsp), %r10
        cmovnz  L_X3+24(%rsp), %r11
        cmovnz  L_Z3(%rsp), %r12
        cmovnz  L_Z3+8(%rsp), %r13
        cmovnz  L_Z3+16(%rsp), %r14
        cmovnz  L_Z3+24(%rsp), %r15
        FE_STORE   %r8, %r9, %r10, %r11, 0, %rcx
        FE_STORE   %r12, %r13, %r14, %r15, 32, %rcx
        // The frame held the whole ladder state: zero it.
        xor     %eax, %eax
        xor     %edi, %edi
2:
        mov     %rax, (%rsp,%rdi,8)
        add     $1, %edi
        cmp     $L_FRAME/8, %edi
        jne     2b
        add     $L_FRAME, %rsp
        POP_SAVED_AND_CLEAR
        xor     %edi, %edi
        ret
        .size   velmora_x25519_ladder, .-velmora_x25519_ladder

// ---- the ladder's field operations on their own, for the tests --------------

// void velmora_x25519_fe_<op>(uint64_t r[4], const uint64_t a[4],
//                             const uint64_t b[4])
// Exactly the macros the ladder runs: mul a * b, sqr a^2 (b unused), add
// a + b, sub a - b, a24 121666 a + b.
.macro FIELD_ENTRY name
        .globl  \name
        .hidden \name
        .type   \name, @function
        .p2align 4
\name:
        _CET_ENDBR
        PUSH_SAVED
        mov     %rdx, %rcx
.endm

.macro FIELD_EXIT name
        FE_STORE %r8, %r9, %r10, %r11, 0, %rdi
        POP_SAVED_AND_CLEAR
        ret
        .size   \name, .-\name
.endm

FIELD_ENTRY velmora_x25519_fe_mul
        FE_MUL  0, %rsi, 0, %rcx
FIELD_EXIT velmora_x25519_fe_mul

FIELD_ENTRY velmora_x25519_fe_sqr
        FE_SQR  0, %rsi
FIELD_EXIT velmora_x25519_fe_sqr

FIELD_ENTRY velmora_x25519_fe_add
        FE_LOAD 0, %rsi, %r8, %r9, %r10, %r11
        FE_ADD  0, %rcx
FIELD_EXIT velmora_x25519_fe_add

FIELD_ENTRY velmora_x25519_fe_sub
        FE_LOAD 0, %rsi, %r8, %r9, %r10, %r11
        FE_SUB  %r8, %r9, %r10, %r11, 0, %rcx
FIELD_EXIT velmora_x25519_fe_sub

FIELD_ENTRY velmora_x25519_fe_a24
        FE_A24  0, %rsi, 0, %rcx
FIELD_EXIT velmora_x25519_fe_a24

        .section .note.GNU-stack, "", @progbits
#endif
