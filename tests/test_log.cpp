#include "log.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct verbosity_guard {
    explicit verbosity_guard(int level) : saved(verbosity) {
        verbosity = level;
    }
    ~verbosity_guard() {
        verbosity = saved;
    }
    int saved;
};

TEST(Log, FiltersByVerbosity) {
    verbosity_guard guard(0);
    output_capture capture;
    log_printf(1, "hidden %d", 1);
    log_printf(0, "shown %d", 0);
    EXPECT_EQ(capture.out(), "shown 0\n");
    EXPECT_EQ(capture.err(), "");
}

TEST(Log, TwoVerboseLevelsShowUpToTwo) {
    verbosity_guard guard(2);
    output_capture capture;
    for (int level = 0; level <= 4; level++)
        log_printf(level, "level %d", level);
    EXPECT_EQ(capture.out(), "level 0\nlevel 1\nlevel 2\n");
}

TEST(Log, NewlineIsAlwaysAppended) {
    verbosity_guard guard(0);
    output_capture capture;
    log_printf(0, "ends in newline\n");
    EXPECT_EQ(capture.out(), "ends in newline\n\n");
}

TEST(Log, LongMessagesAreCutAt1023Characters) {
    verbosity_guard guard(0);
    std::string long_text(1500, 'x');
    long_text[1022] = 'y';
    output_capture capture;
    log_printf(0, "%s", long_text.c_str());
    error("%s", long_text.c_str());
    std::string expected = std::string(1022, 'x') + "y\n";
    EXPECT_EQ(capture.out(), expected);
    EXPECT_EQ(capture.err(), expected);
}

TEST(Log, ExactlyFullBufferIsKept) {
    verbosity_guard guard(0);
    std::string text(1023, 'z');
    output_capture capture;
    log_printf(0, "%s", text.c_str());
    EXPECT_EQ(capture.out(), text + "\n");
}

TEST(Log, ErrorIgnoresVerbosity) {
    verbosity_guard guard(0);
    output_capture capture;
    error("failed: %s", "reason");
    EXPECT_EQ(capture.err(), "failed: reason\n");
    EXPECT_EQ(capture.out(), "");
}

} // namespace
