#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

namespace fs = std::filesystem;

// Time stamp of every entry below (the clock is frozen at 2026-03-05 07:08:09 UTC).
const std::string k_stamp = "26-03-05 07:08:09\t";

std::string read_all(const std::string& path)
{
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

// The last len bytes of a big file, without reading all of it.
std::string read_tail(const std::string& path, long len)
{
    std::string out(static_cast<size_t>(len), '\0');
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "";
    std::fseek(f, -len, SEEK_END);
    const size_t n = std::fread(out.data(), 1, out.size(), f);
    std::fclose(f);
    out.resize(n);
    return out;
}

std::string read_head(const std::string& path, size_t len)
{
    return read_all(path).substr(0, len);
}

class Log : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        struct tm parts {};
        parts.tm_year = 126;
        parts.tm_mon = 2;
        parts.tm_mday = 5;
        parts.tm_hour = 7;
        parts.tm_min = 8;
        parts.tm_sec = 9;
        jx_clock_set(timegm(&parts));

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

TEST_F(Log, LineFormatByteForByte)
{
    // The logging directory ends in '/', so the joined path holds "//".
    ASSERT_EQ(jx_log_init((dir + "/").c_str()), 0);
    EXPECT_EQ(std::string(log_path), dir + "//log");
    ASSERT_NE(logger, nullptr);

    jx_log("Client listening on port %hu", static_cast<unsigned short>(8855));
    // Flushed at once: visible to another reader before close.
    EXPECT_EQ(read_all(log), k_stamp + "Client listening on port 8855\r\n");

    jx_clock_advance(3600 * 24 * 300 + 3 * 3600 + 2);
    const std::string long_text(5000, 'q');
    jx_log("%s|%d", long_text.c_str(), -1);
    EXPECT_EQ(read_all(log),
              k_stamp + "Client listening on port 8855\r\n" + "26-12-30 10:08:11\t" + long_text + "|-1\r\n")
        << "no length limit; zero-padded fields";

    // Re-opening appends to what is there.
    jx_log_close();
    ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    jx_log("again");
    const std::string all = read_all(log);
    const std::string again = "26-12-30 10:08:11\tagain\r\n";
    EXPECT_EQ(all.substr(all.size() - again.size()), again);
}

TEST_F(Log, DroppedWhileClosed)
{
    jx_log("before init %d", 1);
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(logger, nullptr);

    ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    jx_log("open");
    EXPECT_EQ(jx_log_close(), 0);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(log_path[0], '\0');
    jx_log("after close");
    EXPECT_EQ(read_all(log), k_stamp + "open\r\n");

    // Closing with nothing open only clears the path.
    std::snprintf(log_path, sizeof log_path, "%s", "/stale");
    EXPECT_EQ(jx_log_close(), 0);
    EXPECT_EQ(log_path[0], '\0');

    // A directory that cannot hold the log, and a path too long for the buffer.
    EXPECT_EQ(jx_log_init((dir + "/missing").c_str()), 1);
    EXPECT_EQ(logger, nullptr);
    const std::string too_long(JX_LOG_PATH_SIZE, 'd');
    EXPECT_EQ(jx_log_init(too_long.c_str()), 1);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(log_path[0], '\0');
    jx_log("nowhere");
}

TEST_F(Log, RotationBoundary)
{
    const std::string entry_x = k_stamp + "x\r\n";
    // Pre-fill so that the next "x" entry ends exactly on the limit.
    FILE* f = std::fopen(log.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_EQ(truncate(log.c_str(), JX_LOG_MAX_SIZE - static_cast<long>(entry_x.size())), 0);

    ASSERT_EQ(jx_log_init(dir.c_str()), 0);
    jx_log("x");
    EXPECT_EQ(fs::file_size(log), 10000000u);
    EXPECT_FALSE(fs::exists(log1)) << "exactly the limit does not rotate";

    jx_log("crossing %d", 1);
    const std::string crossing = k_stamp + "crossing 1\r\n";
    ASSERT_TRUE(fs::exists(log1));
    EXPECT_EQ(fs::file_size(log1), 10000000u + crossing.size());
    EXPECT_EQ(read_tail(log1, static_cast<long>(entry_x.size() + crossing.size())), entry_x + crossing);
    const std::string rotated = k_stamp + "Log rotation performed\r\n";
    EXPECT_EQ(read_all(log), rotated);

    // Still logging into the fresh file.
    jx_log("after");
    EXPECT_EQ(read_all(log), rotated + k_stamp + "after\r\n");

    // Grow the live log past the limit from outside; the next entry rotates again and the new
    // backup replaces the first one.
    ASSERT_EQ(truncate(log.c_str(), JX_LOG_MAX_SIZE), 0);
    jx_log("second");
    const std::string second = k_stamp + "second\r\n";
    EXPECT_EQ(fs::file_size(log1), 10000000u + second.size());
    const std::string head = rotated + k_stamp + "after\r\n";
    EXPECT_EQ(read_head(log1, head.size()), head);
    EXPECT_EQ(read_tail(log1, static_cast<long>(second.size())), second);
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
    const uintmax_t size = fs::file_size(log);
    EXPECT_EQ(size, 10000000u + (k_stamp + "crossing\r\n").size());
    EXPECT_EQ(read_head(log, 24), k_stamp + "kept\r\n") << "content stays in the log";
    jx_log("dropped");
    EXPECT_EQ(fs::file_size(log), size);
    EXPECT_TRUE(fs::is_directory(log1));
}
