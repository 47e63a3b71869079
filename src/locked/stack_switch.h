// The one place where the module changes stacks: a call of a function on
// another stack that returns to the caller's. Each processor has its own
// version in assembly beside this header (stack_switch_<arch>.S); the C++
// around it (locked/own_stack.h) is the same on every one.
//
// What a version must do, and what the code around it relies on:
//
// - velmora_stack_switch(arg, fn, top, origin) calls fn(arg) with the stack
//   pointer at `top` and returns on the caller's stack once fn returns.
//   `top` is the stack's highest address (exclusive), aligned to 16 bytes;
//   fn starts exactly as if it had been called with the stack pointer at
//   `top` (on x86-64: the return address at top - 8).
// - Before the switch it stores at *origin the caller's stack pointer after
//   the registers it saves there: everything below that address is free, so a
//   later call back onto the caller's stack (from inside fn) may start there.
// - The callee-saved registers are saved on the caller's stack and restored
//   from it on return. They are zeroed before fn runs, and every call-clobbered
//   general register is zeroed once fn has returned: what one side kept in a
//   register is not seen, and so cannot be spilled, by the other. The vector
//   registers are not touched (stack_wipe::clear_vector_registers).
// - fn returns normally: no exception, longjmp or thread exit may cross the
//   switch (the C++ side catches and carries an exception over).
// - The frame links the two stacks for unwinders: its canonical frame address
//   is computed from a frame pointer pushed on the caller's stack (unwind
//   information) and fn's frame-pointer chain continues into the caller's, so
//   a debugger, perf or the C++ unwinder sees one call from the caller down.
// - A signal that arrives while fn runs is delivered on `top`'s stack (unless
//   the thread has an alternate signal stack); the stack must have room for
//   the largest signal frame below fn's deepest frame.
// - It is safe with shadow stacks (every call has its own return) and is an
//   indirect-branch target only through its start.
#pragma once

extern "C" void velmora_stack_switch(void* arg, void (*fn)(void*), void* top,
                                     void** origin) noexcept;
