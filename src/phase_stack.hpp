// A stack of known size for the compile and run phases.
//
// The phases recurse: one level per included file, per nested or recursive
// call, per nesting of the parser's rules. Their limits (include depth, call
// depth, the parser's stack) are counted, and the stack those limits need is
// fixed by the program, not by the stack limit the process was started with:
// the phases run on a stack the program maps itself, so a run under a small
// `ulimit -s` ends at the same limits, with the same messages, as any other.
//
// The mapping counts against an address-space limit (`ulimit -v`) whole,
// used or not, so it is no larger than the limits need. Where it cannot be
// had, the phase ends with a fatal error before it starts: running on the
// process's stack instead could crash in mid-run.
#pragma once

#include <cstddef>

// Room for the deepest nesting the limits allow, about three times over (the
// deepest, 200 nested includes, reaches 2.8 MiB in an optimized build);
// unoptimized and sanitized builds have larger frames. Pages are only used
// as the stack reaches them.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t PHASE_STACK_SIZE = 32 * 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t PHASE_STACK_SIZE = 32 * 1024 * 1024;
#elif defined(__OPTIMIZE__)
constexpr size_t PHASE_STACK_SIZE = 8 * 1024 * 1024;
#else
constexpr size_t PHASE_STACK_SIZE = 16 * 1024 * 1024;
#endif
#elif defined(__OPTIMIZE__)
constexpr size_t PHASE_STACK_SIZE = 8 * 1024 * 1024;
#else
constexpr size_t PHASE_STACK_SIZE = 16 * 1024 * 1024;
#endif

// Runs body(context) on the phase stack and returns when it returns. An
// exception that body lets out is caught on that stack and thrown again
// here, so no exception ever unwinds across the switch. A call made while
// already on the phase stack runs body on the current stack. When the stack
// cannot be mapped, a fatal error: "Failed to allocate N bytes for the phase
// stack".
void phase_stack_run(void (*body)(void*), void* context);

// Runs the callable `body` on the phase stack, as phase_stack_run does.
template <typename body_t>
void phase_stack_call(body_t&& body) {
    phase_stack_run([](void* context) { (*static_cast<body_t*>(context))(); }, &body);
}

// True while a body runs on the phase stack (for tests).
bool phase_stack_active();
