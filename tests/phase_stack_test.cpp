#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "phase_stack.hpp"

namespace {

// Uses about `levels` KiB of stack.
int descend(int levels) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(levels);
    if (levels == 0) return frame[0];
    return descend(levels - 1) + frame[0];
}

TEST(PhaseStack, TheBodyRunsThereAsDeepAsTheStackAllowsAndOnlyTheOutermostCallSwitches) {
    struct record_t {
        bool active = false;
        bool nested_active = false;
        int sum = -1;
    } record;
    phase_stack_run(
        [](void* context) {
            auto* record = static_cast<record_t*>(context);
            record->active = phase_stack_active();
            // Most of the phase stack.
            record->sum = descend(static_cast<int>(PHASE_STACK_SIZE / 1024 * 3 / 4));
            phase_stack_run([](void* inner) { static_cast<record_t*>(inner)->nested_active = phase_stack_active(); },
                            record);
        },
        &record);
    EXPECT_TRUE(record.active);
    EXPECT_TRUE(record.nested_active);
    EXPECT_NE(record.sum, -1);
    EXPECT_FALSE(phase_stack_active());
}

TEST(PhaseStack, AnExceptionOfTheBodyIsThrownAgainBySwitchingBackFirst) {
    try {
        phase_stack_run([](void*) { throw std::runtime_error("from the phase"); }, nullptr);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "from the phase");
    }
    EXPECT_FALSE(phase_stack_active());
    // The stack is used again afterwards.
    bool ran = false;
    phase_stack_run([](void* context) { *static_cast<bool*>(context) = phase_stack_active(); }, &ran);
    EXPECT_TRUE(ran);
}

}  // namespace
