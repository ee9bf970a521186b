// A stack of known size for the compile and run phases.
//
// The phases recurse: one level per included file, per nested or recursive
// call, per nesting of the parser's rules. Their limits (include depth, call
// depth, the parser's stack) are counted, and the stack those limits need is
// fixed by the program, not by the stack limit the process was started with:
// the phases run on a stack the program maps itself, so a run under a small
// `ulimit -s` ends at the same limits, with the same messages, as any other.
#pragma once

#include <cstddef>

// Room for the deepest nesting the limits allow, several times over, in a
// build with sanitizers too. Pages are only used as the stack reaches them.
constexpr size_t PHASE_STACK_SIZE = 32 * 1024 * 1024;

// Runs body(context) on the phase stack and returns when it returns. An
// exception that body lets out is caught on that stack and thrown again
// here, so no exception ever unwinds across the switch. A call made while
// already on the phase stack, or when the stack cannot be mapped (address
// space limits), runs body on the current stack.
void phase_stack_run(void (*body)(void*), void* context);

// Runs the callable `body` on the phase stack, as phase_stack_run does.
template <typename body_t>
void phase_stack_call(body_t&& body) {
    phase_stack_run([](void* context) { (*static_cast<body_t*>(context))(); }, &body);
}

// True while a body runs on the phase stack (for tests).
bool phase_stack_active();
