// Encoders share nothing: two encoders run at once in two threads give the bytes each gives
// alone. Built a second time with ThreadSanitizer, which reports any state they share.
#include <gtest/gtest.h>

#include <thread>

#include "tests/api/api_run_for_test.h"

namespace varnel::test {
namespace {

TEST(Threads, TwoEncodersAtOnceGiveTheirOwnBytes) {
    // Different rates, channel counts and tools, so that shared state would show as a change.
    const ApiSettings a{44100, 2, 128000, 1, 1, 1};
    const ApiSettings b{22050, 1, 40000, 1, 0, 1};
    const std::vector<int16_t> pcmA = toInt16(burstySignal(60 * 1024 + 77, 2, 0.5, 1));
    const std::vector<float> pcmB = burstySignal(60 * 1024, 1, 0.7, 2);
    const AccessUnits aloneA = encodeThrough(a, pcmA);
    const AccessUnits aloneB = encodeThrough(b, pcmB);
    ASSERT_EQ(aloneA.size(), 63u);

    AccessUnits togetherA, togetherB;
    std::thread threadA([&] { togetherA = encodeThrough(a, pcmA); });
    std::thread threadB([&] { togetherB = encodeThrough(b, pcmB); });
    threadA.join();
    threadB.join();
    EXPECT_EQ(togetherA, aloneA);
    EXPECT_EQ(togetherB, aloneB);
}

}  // namespace
}  // namespace varnel::test
