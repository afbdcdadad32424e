#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

// Time stamp of every entry below: the clock is frozen at 2026-03-05 07:08:09 UTC.
const std::string k_stamp = "26-03-05 07:08:09\t";
const std::string k_rotated = k_stamp + "Log rotation performed\r\n";

std::string read_all(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

class Log : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        jx_clock_set(1772694489);
        char tmpl[] = "/tmp/jx_log_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        log = dir + "/log";
    }
    void TearDown() override
    {
        jx_log_close();
        jx_clock_set(0);
        std::filesystem::remove_all(dir);
    }
    std::string dir, log;
};

}  // namespace

TEST_F(Log, LineFormatSanitizingAndNothingWhileClosed)
{
    jx_log("before init %d", 1);
    // The logging directory ends in '/', so the joined path holds "//".
    ASSERT_EQ(jx_log_init((dir + "/").c_str()), 0);
    EXPECT_EQ(std::string(log_path), dir + "//log");
    jx_log("Client listening on port %hu", static_cast<unsigned short>(8855));
    std::string want = k_stamp + "Client listening on port 8855\r\n";
    EXPECT_EQ(read_all(log), want) << "flushed at once";
    jx_clock_advance(3600 * 24 * 300 + 3 * 3600 + 2);
    const std::string long_text(5000, 'q');
    jx_log("%s|%d", long_text.c_str(), -1);
    // A peer's name can neither forge a line nor reach a terminal reading the log as a sequence.
    jx_log("Joined %s : %s",
           "\x1b]0;x\x07"
           "ev\xC2\x9B"
           "il\r\n26-01-01 00:00:00\tforged",
           "10.0.0.1");
    want += "26-12-30 10:08:11\t" + long_text + "|-1\r\n" +
            "26-12-30 10:08:11\tJoined ?]0;x?ev?il??26-01-01 00:00:00?forged : 10.0.0.1\r\n";
    EXPECT_EQ(read_all(log), want);

    jx_log_close();
    jx_log("after close");
    ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    jx_log("again");
    EXPECT_EQ(read_all(log), want + "26-12-30 10:08:11\tagain\r\n") << "re-opening appends";
    // A directory that cannot hold the log, and a path too long for the buffer (refused, not cut).
    EXPECT_EQ(jx_log_init((dir + "/missing").c_str()), 1);
    EXPECT_EQ(jx_log_init(std::string(JX_LOG_PATH_SIZE, 'd').c_str()), 1);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(log_path[0], '\0');
}

TEST_F(Log, RotationAtTheLimitAndFailedRotationStopsLogging)
{
    // Pre-filled with zeros so that the "x" entry ends exactly on the limit, which does not rotate.
    const std::string x = k_stamp + "x\r\n";
    std::ofstream(log).close();
    ASSERT_EQ(truncate(log.c_str(), static_cast<off_t>(JX_LOG_MAX_SIZE - x.size())), 0);
    ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    jx_log("x");
    EXPECT_FALSE(std::filesystem::exists(dir + "/log1"));
    // The backup holds everything up to the crossing entry; the fresh log starts with one line.
    jx_log("crossing");
    EXPECT_TRUE(read_all(dir + "/log1") ==
                std::string(JX_LOG_MAX_SIZE - x.size(), '\0') + x + k_stamp + "crossing\r\n");
    EXPECT_EQ(read_all(log), k_rotated);
    // A directory in the backup's place: neither rename nor the copy fallback can write it; the
    // content stays in the log and nothing more is written.
    std::filesystem::remove(dir + "/log1");
    ASSERT_EQ(mkdir((dir + "/log1").c_str(), 0700), 0);
    ASSERT_EQ(truncate(log.c_str(), JX_LOG_MAX_SIZE), 0);
    jx_log("crossing");
    EXPECT_EQ(logger, nullptr);
    jx_log("dropped");
    EXPECT_TRUE(read_all(log) ==
                k_rotated + std::string(JX_LOG_MAX_SIZE - k_rotated.size(), '\0') + k_stamp + "crossing\r\n");
}
