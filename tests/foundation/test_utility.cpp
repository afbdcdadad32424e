#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "foundation/timer.hpp"
#include "foundation/utility.hpp"

namespace {

// What fn(buf, size) leaves in a buffer pre-filled with 'Z', up to its NUL; nothing may be
// written past size.
template <typename F>
std::string render(size_t size, F fn)
{
    char buf[100];
    std::memset(buf, 'Z', sizeof buf);
    fn(buf, size);
    EXPECT_EQ(buf[size], 'Z') << "written past the buffer";
    return std::string(buf, strnlen(buf, size));
}

}  // namespace

TEST(Utility, DurationsSizesAndClock)
{
    const std::pair<int64_t, const char*> etas[] = {{0, "less then a second"},
                                                    {60, "1 minute 0 second"},
                                                    {3661, "1 hour 1 minute 1 second"},
                                                    {7322, "2 hours 2 minutes 2 seconds"},
                                                    {604800, "1 week 0 day 0 hour 0 minute 0 second"},
                                                    {1216922, "2 weeks 0 day 2 hours 2 minutes 2 seconds"},
                                                    {-5, ""}};
    for (const auto& [s, want] : etas)
        EXPECT_EQ(render(99, [s = s](char* b, size_t n) { jx_sec_to_eta(s, b, n); }), want) << s;
    // The longest text fits the documented size exactly; a short buffer is cut, never overrun.
    EXPECT_EQ(render(JX_ETA_SIZE, [](char* b, size_t n) { jx_sec_to_eta(9223372036854460799LL, b, n); }),
              "15250284452470 weeks 6 days 23 hours 59 minutes 59 seconds");
    EXPECT_EQ(render(8, [](char* b, size_t n) { jx_sec_to_eta(7322, b, n); }), "2 hours");

    // Units of 1000; the screens' 10-byte buffer cuts a long text and keeps it terminated.
    const std::pair<uint64_t, const char*> sizes[] = {{1000, "1000B"},
                                                      {1001, "1.00KB"},
                                                      {1000001, "1.00MB"},
                                                      {1500000000, "1.50GB"},
                                                      {12345000000000, "12345.00G"}};
    for (const auto& [v, want] : sizes)
        EXPECT_EQ(render(10, [v = v](char* b, size_t n) { jx_bytes_to_human(v, b, n); }), want) << v;

    JXTimer t{{10, 900000}, {12, 100000}};
    EXPECT_DOUBLE_EQ(jx_timer_get_micro(&t), 1200000.0) << "borrowing across the second";
    setenv("TZ", "UTC", 1);
    tzset();
    jx_clock_advance(1000000);
    EXPECT_LE(std::llabs(jx_clock_now() - time(nullptr)), 1) << "only a frozen clock moves by command";
    jx_clock_set(1772701503 - 11);  // 2026-03-05 09:05:03 UTC
    jx_clock_advance(11);
    EXPECT_STREQ(jx_format_time(nullptr), "09:05:03");
    const time_t midnight = 1772668800;
    EXPECT_STREQ(jx_format_time(&midnight), "00:00:00");
    jx_clock_set(0);
}

TEST(Utility, TrimSearchHexAndChecksum)
{
    std::string s = " \t\r\n\v\fab c\n ";
    EXPECT_STREQ(jx_trim(s.data(), nullptr), "ab c");
    s = "--==a-=";
    EXPECT_STREQ(jx_trim(s.data(), "-="), "a");
    s = " xab x ";
    EXPECT_STREQ(jx_rtrim(s.data(), "x"), " xab x ") << "a trailing blank stops an 'x' trim";

    const struct {
        int32_t n, from, want;
    } finds[] = {{2, 0, 3}, {1, 3, 3}, {2, 2, -1}, {0, 0, -1}, {1, -1, -1}, {1, 5, -1}};
    for (const auto& f : finds)
        EXPECT_EQ(jx_find_n_char("a:b:c", ':', f.n, f.from), f.want) << f.n << " from " << f.from;
    const struct {
        int32_t n, lo, hi, want;
    } rfinds[] = {{1, 0, 4, 3}, {2, 0, 4, 1}, {3, 0, 4, -1}, {1, 3, 2, -1}, {0, 0, 4, -1}, {1, -1, 4, -1}};
    for (const auto& f : rfinds)
        EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', f.n, f.lo, f.hi), f.want)
            << f.n << " in " << f.lo << ".." << f.hi;
    const char raw[3] = {'/', 'x', '/'};  // no terminator needed, and lo is included
    EXPECT_EQ(jx_find_n_char_r(raw, '/', 2, 0, 2), 0);
    EXPECT_EQ(jx_str_chrs("star*", "<>:\"/\\|?*", 9), 1);
    EXPECT_EQ(jx_str_chrs("star*", "<>:\"/\\|?*", 8), 0) << "only k set characters count";

    const uint8_t bytes[3] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(render(8, [&](char* b, size_t n) { jx_bytes_to_string(bytes, 3, b, n); }), "00abff");
    EXPECT_EQ(render(6, [&](char* b, size_t n) { jx_bytes_to_string(bytes, 3, b, n); }), "00ab");
    EXPECT_EQ(jx_checksum(bytes, 3, UINT64_MAX - 1), 424u) << "unsigned bytes, modulo 2^64";
}

TEST(Utility, RandomValuesDifferBetweenProcessesStartedTogether)
{
    std::srand(12345);
    for (int round = 0; round < 200; round++)
        ASSERT_TRUE(std::regex_match(render(33, [](char* b, size_t) { jx_random_str(b, 32); }),
                                     std::regex("[0-8a-yA-Y]{32}")));
    uint8_t bytes[4096];
    jx_random_bytes(bytes, sizeof bytes);
    EXPECT_EQ(std::memchr(bytes, 255, sizeof bytes), nullptr) << "0..254 only";
    EXPECT_TRUE(std::regex_match(render(16, jx_generate_random_username), std::regex("jexley[0-9]{9}")));
    EXPECT_EQ(render(3, jx_generate_random_username), "je");

    // Two hosts started in the same second must not draw the same instance id.
    std::string ids[2];
    for (auto& id : ids) {
        int fd[2];
        ASSERT_EQ(pipe(fd), 0);
        if (fork() == 0) {
            jx_random_seed();
            char s[33];
            _exit(write(fd[1], jx_random_str(s, 32), 32) == 32 ? 0 : 1);
        }
        close(fd[1]);
        char buf[33] = {};
        EXPECT_EQ(read(fd[0], buf, 32), 32);
        close(fd[0]);
        wait(nullptr);
        id = buf;
    }
    EXPECT_NE(ids[0], ids[1]);
}

TEST(Utility, SanitizeLetsNoControlSequenceThrough)
{
    const std::pair<std::string, std::string> rows[] = {
        {"a\x1b[2Jb\x7f", "a?[2Jb?"},
        {"\x1b]0;title\x07\r\n\t", "?]0;title????"},
        {"\xc2\x9b"
         "31m\x9b",
         "?31m?"},                          // C1 CSI written as UTF-8, and as a bare byte
        {"\xc2\x9f\xc2\xa0", "?\xc2\xa0"},  // the last C1 control; U+00A0 is text
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc0\xaf\xe0\x9f\xbf", "?????"},  // overlong, two and three bytes
        {"\xed\xa0\x80\xff", "????"},       // surrogate, never a lead byte
        {"x\xe2\x82", "x??"},               // cut short
        {std::string("ab\0cd", 5), "ab"}};
    for (const auto& [in, want] : rows)
        EXPECT_EQ(render(99, [&in = in](char* b, size_t n) { jx_str_sanitize(in.data(), in.size(), b, n); }),
                  want)
            << in;
    // At most n bytes are read; the output bound is kept and a character that does not fit is left out whole.
    EXPECT_EQ(render(99, [](char* b, size_t n) { jx_str_sanitize("ab\xe2\x82\xac", 4, b, n); }), "ab??");
    EXPECT_EQ(render(5, [](char* b, size_t n) { jx_str_sanitize("ab\xe2\x82\xac", 5, b, n); }), "ab");
    EXPECT_EQ(render(5, [](char* b, size_t n) { jx_str_sanitize("abcdefgh", 8, b, n); }), "abcd");
}
