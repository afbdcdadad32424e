#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

namespace fs = std::filesystem;

// Time stamp of every entry below: the clock is frozen at 2026-03-05 07:08:09 UTC.
const std::string k_stamp = "26-03-05 07:08:09\t";

std::string read_all(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
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
        log1 = dir + "/log1";
    }
    void TearDown() override
    {
        jx_log_close();
        jx_clock_set(0);
        fs::remove_all(dir);
    }
    std::string dir, log, log1;
};

}  // namespace

TEST_F(Log, LineFormatByteForByteAndNothingWhileClosed)
{
    jx_log("before init %d", 1);
    EXPECT_FALSE(fs::exists(log));
    // The logging directory ends in '/', so the joined path holds "//".
    ASSERT_EQ(jx_log_init((dir + "/").c_str()), 0);
    EXPECT_EQ(std::string(log_path), dir + "//log");
    jx_log("Client listening on port %hu", static_cast<unsigned short>(8855));
    // Flushed at once: visible to another reader before close.
    const std::string first = k_stamp + "Client listening on port 8855\r\n";
    EXPECT_EQ(read_all(log), first);
    jx_clock_advance(3600 * 24 * 300 + 3 * 3600 + 2);
    const std::string long_text(5000, 'q');
    jx_log("%s|%d", long_text.c_str(), -1);
    const std::string second = "26-12-30 10:08:11\t" + long_text + "|-1\r\n";
    EXPECT_EQ(read_all(log), first + second) << "no length limit; zero-padded fields";
    // A peer's name can neither forge a line nor reach a terminal reading the log as a sequence.
    jx_log("Joined %s : %s",
           "\x1b]0;x\x07"
           "ev\xC2\x9B"
           "il\r\n26-01-01 00:00:00\tforged",
           "10.0.0.1");
    const std::string third =
        "26-12-30 10:08:11\tJoined ?]0;x?ev?il??26-01-01 00:00:00?forged : 10.0.0.1\r\n";
    EXPECT_EQ(read_all(log), first + second + third);

    EXPECT_EQ(jx_log_close(), 0);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(log_path[0], '\0');
    jx_log("after close");
    // Re-opening appends to what is there.
    ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    jx_log("again");
    EXPECT_EQ(read_all(log), first + second + third + "26-12-30 10:08:11\tagain\r\n");
    jx_log_close();
    // Closing with nothing open only clears the path.
    std::snprintf(log_path, sizeof log_path, "%s", "/stale");
    EXPECT_EQ(jx_log_close(), 0);
    EXPECT_EQ(log_path[0], '\0');

    // A directory that cannot hold the log, and a path too long for the buffer.
    EXPECT_EQ(jx_log_init((dir + "/missing").c_str()), 1);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(jx_log_init(std::string(JX_LOG_PATH_SIZE, 'd').c_str()), 1);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(log_path[0], '\0');
    jx_log("nowhere");
}

TEST_F(Log, RotationBoundary)
{
    // The log is pre-filled with zeros so that the next "x" entry ends exactly on the limit.
    const std::string x = k_stamp + "x\r\n";
    const std::string filler(JX_LOG_MAX_SIZE - x.size(), '\0');
    std::ofstream(log).close();
    ASSERT_EQ(truncate(log.c_str(), static_cast<off_t>(filler.size())), 0);
    ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    jx_log("x");
    EXPECT_EQ(fs::file_size(log), 10000000u);
    EXPECT_FALSE(fs::exists(log1)) << "exactly the limit does not rotate";

    // The backup holds everything up to the crossing entry; the fresh log starts with one line.
    jx_log("crossing %d", 1);
    const std::string crossing = k_stamp + "crossing 1\r\n";
    EXPECT_TRUE(read_all(log1) == filler + x + crossing);
    const std::string rotated = k_stamp + "Log rotation performed\r\n";
    EXPECT_EQ(read_all(log), rotated);
    jx_log("after");  // still logging into the fresh file

    // Grown past the limit from outside: the next entry rotates again, replacing the first backup.
    const std::string kept = rotated + k_stamp + "after\r\n";
    ASSERT_EQ(truncate(log.c_str(), JX_LOG_MAX_SIZE), 0);
    jx_log("second");
    EXPECT_TRUE(read_all(log1) ==
                kept + std::string(JX_LOG_MAX_SIZE - kept.size(), '\0') + k_stamp + "second\r\n");
    EXPECT_EQ(read_all(log), rotated);
}

TEST_F(Log, FailedRotationStopsLogging)
{
    // A directory in the backup's place: neither rename nor the copy fallback can write it.
    ASSERT_EQ(mkdir(log1.c_str(), 0700), 0);
    ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    jx_log("kept");
    ASSERT_EQ(truncate(log.c_str(), JX_LOG_MAX_SIZE), 0);
    jx_log("crossing");
    EXPECT_EQ(logger, nullptr);
    jx_log("dropped");
    // The content stays in the log, and nothing more is written.
    const std::string kept = k_stamp + "kept\r\n";
    EXPECT_TRUE(read_all(log) ==
                kept + std::string(JX_LOG_MAX_SIZE - kept.size(), '\0') + k_stamp + "crossing\r\n");
}
