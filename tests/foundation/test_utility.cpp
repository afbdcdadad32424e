#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "foundation/timer.hpp"
#include "foundation/utility.hpp"

namespace {

// Output of fn(buf, size) into a buffer of `size` bytes pre-filled with 'Z', read up to its NUL.
template <typename F>
std::string render(size_t size, F fn)
{
    char buf[100];
    std::memset(buf, 'Z', sizeof buf);
    fn(buf, size);
    EXPECT_EQ(buf[size], 'Z') << "written past the buffer";
    return std::string(buf, strnlen(buf, size));
}

std::string eta(int64_t s)
{
    return render(99, [=](char* b, size_t n) { jx_sec_to_eta(s, b, n); });
}

std::string human(uint64_t v)
{
    return render(10, [=](char* b, size_t n) { jx_bytes_to_human(v, b, n); });
}

}  // namespace

TEST(Utility, DurationsSizesAndClockTimes)
{
    EXPECT_EQ(eta(0), "less then a second");
    EXPECT_EQ(eta(2), "2 seconds");
    EXPECT_EQ(eta(60), "1 minute 0 second");
    EXPECT_EQ(eta(3661), "1 hour 1 minute 1 second");
    EXPECT_EQ(eta(7322), "2 hours 2 minutes 2 seconds");
    EXPECT_EQ(eta(86400), "1 day 0 hour 0 minute 0 second");
    EXPECT_EQ(eta(604800), "1 week 0 day 0 hour 0 minute 0 second");
    EXPECT_EQ(eta(1216922), "2 weeks 0 day 2 hours 2 minutes 2 seconds");
    EXPECT_EQ(eta(-5), "");
    EXPECT_EQ(eta(INT64_MIN), "");
    // The longest text fits the documented size exactly; a short buffer is cut, never overrun.
    EXPECT_EQ(render(JX_ETA_SIZE, [](char* b, size_t n) { jx_sec_to_eta(9223372036854460799LL, b, n); }),
              "15250284452470 weeks 6 days 23 hours 59 minutes 59 seconds");
    EXPECT_EQ(render(8, [](char* b, size_t n) { jx_sec_to_eta(7322, b, n); }), "2 hours");

    EXPECT_EQ(human(0), "0B");
    EXPECT_EQ(human(1000), "1000B");
    EXPECT_EQ(human(1001), "1.00KB");
    EXPECT_EQ(human(1000000), "1000.00KB");
    EXPECT_EQ(human(1000001), "1.00MB");
    EXPECT_EQ(human(1000000000), "1000.00MB");
    EXPECT_EQ(human(1500000000), "1.50GB");
    // Too long for the screens' 10-byte buffer: cut and still terminated.
    EXPECT_EQ(human(12345000000000ULL), "12345.00G");

    // The whole buffer is cleared, so a shorter text leaves no tail of an older one.
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    jx_bytes_to_human(5, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string("5B") + std::string(14, '\0'));

    setenv("TZ", "UTC", 1);
    tzset();
    const time_t t = 1772701503;  // 2026-03-05 09:05:03 UTC
    EXPECT_STREQ(jx_format_time(&t), "09:05:03");
    const time_t midnight = t - 9 * 3600 - 5 * 60 - 3;
    EXPECT_STREQ(jx_format_time(&midnight), "00:00:00");
    // Null means now, read through the clock seam.
    jx_clock_set(t + 3600 * 14 + 54 * 60 + 56);
    EXPECT_STREQ(jx_format_time(nullptr), "23:59:59");
    jx_clock_set(0);
}

TEST(Utility, TrimSearchHexAndChecksum)
{
    const struct {
        char* (*fn)(char*, const char*);
        const char* set;
        std::string in, out;
    } rows[] = {
        {jx_trim, nullptr, "  ab c \n", "ab c"},
        {jx_trim, nullptr, " \t\r\n\v\f ", ""},
        {jx_trim, nullptr, "", ""},
        {jx_trim, nullptr, "abc", "abc"},
        {jx_trim, "-=", "--==a-=", "a"},
        {jx_rtrim, "x", "xaxbxx", "xaxb"},
        {jx_rtrim, "x", " xab x ", " xab x "},  // a trailing blank stops an 'x' trim
        {jx_ltrim, nullptr, "\t\tword\t", "word\t"},
    };
    for (const auto& r : rows) {
        std::string s = r.in;
        EXPECT_EQ(r.fn(s.data(), r.set), s.data());
        EXPECT_STREQ(s.c_str(), r.out.c_str()) << "'" << r.in << "'";
    }

    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 2, 0), 3);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, 2), 3);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, 3), 3) << "the start is included";
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 2, 2), -1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 0, 0), -1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, -1), -1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, 5), -1);

    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 1, 0, 5), 3);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 2, 0, 5), 1);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 3, 0, 5), -1);
    EXPECT_EQ(jx_find_n_char_r("/abc", '/', 1, 0, 4), 0) << "lo is included";
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 1, 3, 2), -1);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 0, 0, 5), -1);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 1, -1, 5), -1);
    // No terminator needed: only b[lo..hi] is read.
    const char raw[3] = {'/', 'x', '/'};
    EXPECT_EQ(jx_find_n_char_r(raw, '/', 1, 0, 2), 2);

    const char forbidden[] = "<>:\"/\\|?*";
    EXPECT_EQ(jx_str_chrs("report.txt", forbidden, 9), 0);
    EXPECT_EQ(jx_str_chrs("star*", forbidden, 9), 1) << "the last set character counts";
    EXPECT_EQ(jx_str_chrs("a?b", forbidden, 0), 0);
    EXPECT_EQ(jx_str_chrs("a*b", forbidden, 8), 0) << "only k set characters are used";
    const char no_nul[2] = {'q', 'z'};
    EXPECT_EQ(jx_str_chrs("xyz", no_nul, 2), 1);

    const uint8_t bytes[3] = {0x00, 0xAB, 0x10};
    EXPECT_EQ(render(8, [&](char* b, size_t n) { jx_bytes_to_string(bytes, 3, b, n); }), "00ab10");
    // A buffer one byte short keeps whole bytes only and stays terminated.
    EXPECT_EQ(render(6, [&](char* b, size_t n) { jx_bytes_to_string(bytes, 3, b, n); }), "00ab");

    const uint8_t abc[3] = {'a', 'b', 'c'};
    EXPECT_EQ(jx_checksum(abc, 3, 0), 294u);
    EXPECT_EQ(jx_checksum(abc, 0, 77), 77u);
    const uint8_t high[2] = {0xFF, 0x80};
    EXPECT_EQ(jx_checksum(high, 2, 0), 255u + 128u) << "bytes are unsigned";
    EXPECT_EQ(jx_checksum(high, 1, UINT64_MAX), 254u) << "wraps modulo 2^64";
}

TEST(Utility, RandomValues)
{
    std::srand(12345);
    for (int round = 0; round < 200; round++) {
        const std::string s = render(33, [](char* b, size_t) { EXPECT_EQ(jx_random_str(b, 32), b); });
        ASSERT_TRUE(std::regex_match(s, std::regex("[0-8a-yA-Y]{32}"))) << s;
    }
    EXPECT_EQ(render(1, [](char* b, size_t) { jx_random_str(b, 0); }), "") << "terminator even for n = 0";

    uint8_t bytes[4096];
    jx_random_bytes(bytes, sizeof bytes);
    int count[256] = {};
    for (uint8_t b : bytes)
        count[b]++;
    EXPECT_EQ(count[255], 0) << "rand() % 255 never yields 255";
    EXPECT_GT(256 - std::count(count, count + 256, 0), 200);

    const std::string name = render(16, jx_generate_random_username);
    EXPECT_TRUE(std::regex_match(name, std::regex("jexley[0-9]{9}"))) << name;
    EXPECT_EQ(render(7, jx_generate_random_username), "jexley");
    // Too small for the prefix: what fits, terminated, nothing written past z.
    EXPECT_EQ(render(3, jx_generate_random_username), "je");
}

// Two hosts started in the same second must not draw the same instance id.
TEST(Utility, SeedDiffersBetweenProcessesStartedTogether)
{
    jx_clock_set(0);
    std::string ids[2];
    for (auto& id : ids) {
        int fd[2];
        ASSERT_EQ(pipe(fd), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            jx_random_seed();
            char s[33];
            _exit(write(fd[1], jx_random_str(s, 32), 32) == 32 ? 0 : 1);
        }
        close(fd[1]);
        char buf[33] = {};
        EXPECT_EQ(read(fd[0], buf, 32), 32);
        close(fd[0]);
        waitpid(pid, nullptr, 0);
        id = buf;
    }
    EXPECT_NE(ids[0], ids[1]);
}

TEST(Utility, SanitizeLetsNoControlSequenceThrough)
{
    auto safe = [](const std::string& s) {
        std::string out(s.size() + 1, '\0');
        out.resize(jx_str_sanitize(s.data(), s.size(), out.data(), out.size()));
        return out;
    };
    EXPECT_EQ(safe("a\x1b[2Jb"), "a?[2Jb");
    EXPECT_EQ(safe("\x1b]0;title\x07"), "?]0;title?");
    EXPECT_EQ(safe(std::string("\r\n\t\x7f", 4)), "????");
    EXPECT_EQ(safe("\xc2\x9b"
                   "31m"),
              "?31m");  // C1 CSI written as UTF-8
    EXPECT_EQ(safe("\x9b"
                   "31m"),
              "?31m");  // bare C1 byte
    EXPECT_EQ(safe("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(safe("\xc0\xaf"), "??");                 // overlong
    EXPECT_EQ(safe("\xe0\x9f\xbf"), "???");            // overlong, three bytes
    EXPECT_EQ(safe("\xc2\x9f\xc2\xa0"), "?\xc2\xa0");  // the last C1 control; U+00A0 is text
    EXPECT_EQ(safe("\xed\xa0\x80"), "???");            // surrogate
    EXPECT_EQ(safe("x\xe2\x82"), "x??");               // cut short
    EXPECT_EQ(safe("\xff\xfe"), "??");
    // Stops at the first NUL and at n.
    char cut[8];
    EXPECT_EQ(jx_str_sanitize("ab\0cd", 5, cut, sizeof cut), 2u);
    EXPECT_EQ(jx_str_sanitize("abcdef", 3, cut, sizeof cut), 3u);
    EXPECT_STREQ(cut, "abc");

    // The output bound is kept; a multi-byte character that does not fit is left out whole.
    char out[5];
    EXPECT_EQ(jx_str_sanitize("ab\xe2\x82\xac", 5, out, sizeof out), 2u);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(jx_str_sanitize("abcdefgh", 8, out, sizeof out), 4u);
    EXPECT_STREQ(out, "abcd");
}
