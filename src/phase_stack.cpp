// The phase stack: one mapping, made on first use and kept for the process,
// with an inaccessible page at its low end so that an overflow is a fault,
// never a write into other memory. The switch uses getcontext, makecontext
// and setcontext: the program is single-threaded and switches only there.
// (Not swapcontext, which AddressSanitizer answers with a warning on
// standard error.)
//
// Invariants: `running` is set exactly while a body runs on the stack; every
// exception of the body is caught before its context ends; under
// AddressSanitizer each switch is announced, so the sanitizer always knows
// which stack is current.
#include "phase_stack.hpp"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#include <exception>

#include "exception.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define PHASE_STACK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PHASE_STACK_ASAN 1
#endif
#endif
#ifdef PHASE_STACK_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

struct phase_call_t {
    void (*body)(void*);
    void* context;
    std::exception_ptr failure;
    ucontext_t caller;
    ucontext_t phase;
    void* fake_stack;  // the sanitizer's record of the caller's stack
    const void* caller_bottom;
    size_t caller_size;
};

char* stack_base = nullptr;  // the mapping, guard page included
phase_call_t* running = nullptr;

// The sanitizer is told of a switch just before it and of its end just after.
void announce_switch([[maybe_unused]] void** fake_stack, [[maybe_unused]] const void* bottom,
                     [[maybe_unused]] size_t size) {
#ifdef PHASE_STACK_ASAN
    __sanitizer_start_switch_fiber(fake_stack, bottom, size);
#endif
}

void complete_switch([[maybe_unused]] void* fake_stack, [[maybe_unused]] const void** bottom,
                     [[maybe_unused]] size_t* size) {
#ifdef PHASE_STACK_ASAN
    __sanitizer_finish_switch_fiber(fake_stack, bottom, size);
#endif
}

bool map_stack() {
    if (stack_base != nullptr) return true;
    void* mapping = mmap(nullptr, PHASE_STACK_SIZE, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return false;
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (mprotect(mapping, page, PROT_NONE) != 0) {
        munmap(mapping, PHASE_STACK_SIZE);
        return false;
    }
    stack_base = static_cast<char*>(mapping);
    return true;
}

// The first function on the phase stack; returning resumes the caller
// through the context's link. makecontext passes only integers, hence the
// call record in `running`.
void phase_entry() {
    phase_call_t* call = running;
    complete_switch(nullptr, &call->caller_bottom, &call->caller_size);
    try {
        call->body(call->context);
    } catch (...) {
        call->failure = std::current_exception();
    }
    // This context ends here: the sanitizer may forget its stack.
    announce_switch(nullptr, call->caller_bottom, call->caller_size);
}

}  // namespace

void phase_stack_run(void (*body)(void*), void* context) {
    if (running != nullptr) {
        body(context);
        return;
    }
    // Running on the process's stack instead could crash in mid-run, and
    // would make a run pass under a tight address-space limit that fails
    // under a looser one.
    if (!map_stack()) fatal_error("Failed to allocate %zu bytes for the phase stack", PHASE_STACK_SIZE);
    phase_call_t call{};
    call.body = body;
    call.context = context;
    if (getcontext(&call.phase) != 0) {
        body(context);
        return;
    }
    call.phase.uc_stack.ss_sp = stack_base;
    call.phase.uc_stack.ss_size = PHASE_STACK_SIZE;
    call.phase.uc_link = &call.caller;
    makecontext(&call.phase, phase_entry, 0);

    // getcontext returns twice: now, and when the phase's context ends.
    volatile bool switched = false;
    running = &call;
    getcontext(&call.caller);
    if (!switched) {
        switched = true;
        announce_switch(&call.fake_stack, stack_base, PHASE_STACK_SIZE);
        setcontext(&call.phase);
    }
    complete_switch(call.fake_stack, nullptr, nullptr);
    running = nullptr;
    if (call.failure) std::rethrow_exception(call.failure);
}

bool phase_stack_active() { return running != nullptr; }
