#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "foundation/timer.hpp"
#include "foundation/utility.hpp"

namespace {

std::string eta(int64_t s)
{
    char buf[100];
    std::memset(buf, 'Z', sizeof buf);
    jx_sec_to_eta(s, buf, sizeof buf);
    return buf;
}

std::string human(uint64_t n)
{
    char buf[10];
    std::memset(buf, 'Z', sizeof buf);
    jx_bytes_to_human(n, buf, sizeof buf);
    return std::string(buf, strnlen(buf, sizeof buf));
}

}  // namespace

TEST(Utility, SecToEta)
{
    EXPECT_EQ(eta(0), "less then a second");
    EXPECT_EQ(eta(1), "1 second");
    EXPECT_EQ(eta(2), "2 seconds");
    EXPECT_EQ(eta(59), "59 seconds");
    EXPECT_EQ(eta(60), "1 minute 0 second");
    EXPECT_EQ(eta(120), "2 minutes 0 second");
    EXPECT_EQ(eta(3661), "1 hour 1 minute 1 second");
    EXPECT_EQ(eta(7322), "2 hours 2 minutes 2 seconds");
    EXPECT_EQ(eta(86399), "23 hours 59 minutes 59 seconds");
    EXPECT_EQ(eta(86400), "1 day 0 hour 0 minute 0 second");
    EXPECT_EQ(eta(604800), "1 week 0 day 0 hour 0 minute 0 second");
    EXPECT_EQ(eta(1216922), "2 weeks 0 day 2 hours 2 minutes 2 seconds");
    EXPECT_EQ(eta(-5), "");
    EXPECT_EQ(eta(INT64_MIN), "");

    // The longest text fits the documented size exactly.
    const std::string longest = "15250284452470 weeks 6 days 23 hours 59 minutes 59 seconds";
    char exact[JX_ETA_SIZE + 1];
    exact[JX_ETA_SIZE] = 'Z';
    jx_sec_to_eta(9223372036854460799LL, exact, JX_ETA_SIZE);
    EXPECT_EQ(std::string(exact), longest);
    EXPECT_EQ(exact[JX_ETA_SIZE], 'Z');
    EXPECT_EQ(eta(INT64_MAX), "15250284452471 weeks 3 days 15 hours 30 minutes 7 seconds");
    // A short buffer is cut, never overrun.
    char small[9];
    small[8] = 'Z';
    jx_sec_to_eta(7322, small, 8);
    EXPECT_STREQ(small, "2 hours");
    EXPECT_EQ(small[8], 'Z');
}

TEST(Utility, BytesToHuman)
{
    EXPECT_EQ(human(0), "0B");
    EXPECT_EQ(human(1000), "1000B");
    EXPECT_EQ(human(1001), "1.00KB");
    EXPECT_EQ(human(1000000), "1000.00KB");
    EXPECT_EQ(human(1000001), "1.00MB");
    EXPECT_EQ(human(1000000000), "1000.00MB");
    EXPECT_EQ(human(1500000000), "1.50GB");
    EXPECT_EQ(human(9999990000000ULL), "9999.99GB");
    // Too long for the screens' 10-byte buffer: cut and still terminated.
    EXPECT_EQ(human(12345000000000ULL), "12345.00G");

    // The whole buffer is cleared, so a shorter text leaves no tail of an older one.
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    jx_bytes_to_human(5, buf, sizeof buf);
    for (size_t i = 2; i < sizeof buf; i++)
        EXPECT_EQ(buf[i], '\0') << i;
}

TEST(Utility, FormatTime)
{
    setenv("TZ", "UTC", 1);
    tzset();
    struct tm parts {};
    parts.tm_year = 126;
    parts.tm_mon = 2;
    parts.tm_mday = 5;
    parts.tm_hour = 9;
    parts.tm_min = 5;
    parts.tm_sec = 3;
    const time_t t = timegm(&parts);
    EXPECT_STREQ(jx_format_time(&t), "09:05:03");
    const time_t midnight = t - 9 * 3600 - 5 * 60 - 3;
    EXPECT_STREQ(jx_format_time(&midnight), "00:00:00");

    // Null means now, read through the clock seam.
    jx_clock_set(t + 3600 * 14 + 54 * 60 + 56);
    EXPECT_STREQ(jx_format_time(nullptr), "23:59:59");
    jx_clock_set(0);
}

TEST(Utility, Trim)
{
    char a[] = "  ab c \n";
    EXPECT_EQ(jx_trim(a, nullptr), a);
    EXPECT_STREQ(a, "ab c");
    char blanks[] = " \t\r\n\v\f ";
    jx_trim(blanks, nullptr);
    EXPECT_STREQ(blanks, "");
    char empty[] = "";
    jx_trim(empty, nullptr);
    EXPECT_STREQ(empty, "");

    char xs[] = "xaxbxx";
    EXPECT_EQ(jx_rtrim(xs, "x"), xs);
    EXPECT_STREQ(xs, "xaxb");
    char xs2[] = " xab x ";
    jx_rtrim(xs2, "x");
    EXPECT_STREQ(xs2, " xab x ") << "a trailing blank stops an 'x' trim";

    char lead[] = "\t\tword\t";
    EXPECT_EQ(jx_ltrim(lead, nullptr), lead);
    EXPECT_STREQ(lead, "word\t");
    char custom[] = "--==a-=";
    jx_trim(custom, "-=");
    EXPECT_STREQ(custom, "a");
    char none[] = "abc";
    jx_trim(none, nullptr);
    EXPECT_STREQ(none, "abc");
}

TEST(Utility, FindNChar)
{
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 2, 0), 3);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, 0), 1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, 2), 3);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, 3), 3);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 2, 2), -1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 3, 0), -1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 0, 0), -1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', -1, 0), -1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, -1), -1);
    EXPECT_EQ(jx_find_n_char("a:b:c", ':', 1, 5), -1);
    EXPECT_EQ(jx_find_n_char("", ':', 1, 0), -1);

    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 1, 0, 5), 3);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 2, 0, 5), 1);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 3, 0, 5), -1);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 1, 0, 2), 1);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 1, 2, 2), -1);
    EXPECT_EQ(jx_find_n_char_r("/abc", '/', 1, 0, 4), 0) << "lo is included";
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 1, 3, 2), -1);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 0, 0, 5), -1);
    EXPECT_EQ(jx_find_n_char_r("a/b/c", '/', 1, -1, 5), -1);
    // No terminator needed: only b[lo..hi] is read.
    const char raw[3] = {'/', 'x', '/'};
    EXPECT_EQ(jx_find_n_char_r(raw, '/', 1, 0, 2), 2);
    EXPECT_EQ(jx_find_n_char_r(raw, '/', 2, 0, 2), 0);
}

TEST(Utility, StrChrs)
{
    const char forbidden[] = "<>:\"/\\|?*";
    EXPECT_EQ(jx_str_chrs("report.txt", forbidden, 9), 0);
    EXPECT_EQ(jx_str_chrs("a?b", forbidden, 9), 1);
    EXPECT_EQ(jx_str_chrs("..\\x", forbidden, 9), 1);
    EXPECT_EQ(jx_str_chrs("star*", forbidden, 9), 1) << "the last set character counts";
    EXPECT_EQ(jx_str_chrs("a?b", forbidden, 0), 0);
    EXPECT_EQ(jx_str_chrs("", forbidden, 9), 0);
    EXPECT_EQ(jx_str_chrs("a*b", forbidden, 8), 0) << "only k set characters are used";
    const char no_nul[2] = {'q', 'z'};
    EXPECT_EQ(jx_str_chrs("xyz", no_nul, 2), 1);
}

TEST(Utility, BytesToStringAndChecksum)
{
    const uint8_t bytes[3] = {0x00, 0xAB, 0x10};
    char out[8];
    std::memset(out, 'Z', sizeof out);
    jx_bytes_to_string(bytes, 3, out, sizeof out);
    EXPECT_STREQ(out, "00ab10");
    EXPECT_EQ(out[7], '\0') << "the whole buffer is cleared";

    // A buffer one byte short keeps whole bytes only and stays terminated.
    char shorter[7];
    std::memset(shorter, 'Z', sizeof shorter);
    jx_bytes_to_string(bytes, 3, shorter, 6);
    EXPECT_STREQ(shorter, "00ab");
    EXPECT_EQ(shorter[6], 'Z');

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
    char s[34];
    for (int round = 0; round < 200; round++) {
        std::memset(s, 'Z', sizeof s);
        EXPECT_EQ(jx_random_str(s, 32), s);
        ASSERT_EQ(s[32], '\0');
        ASSERT_EQ(s[33], 'Z');
        for (int i = 0; i < 32; i++) {
            const char c = s[i];
            const bool ok = (c >= '0' && c <= '8') || (c >= 'a' && c <= 'y') || (c >= 'A' && c <= 'Y');
            ASSERT_TRUE(ok) << "character " << int(c) << " in " << s;
        }
    }
    char one[2] = {'Z', 'Z'};
    jx_random_str(one, 0);
    EXPECT_EQ(one[0], '\0') << "terminator even for n = 0";
    EXPECT_EQ(one[1], 'Z');

    uint8_t bytes[4096];
    jx_random_bytes(bytes, sizeof bytes);
    int distinct[256] = {};
    for (uint8_t b : bytes)
        distinct[b]++;
    EXPECT_EQ(distinct[255], 0) << "rand() % 255 never yields 255";
    int seen = 0;
    for (int v : distinct)
        seen += v > 0;
    EXPECT_GT(seen, 200);

    char name[18];
    std::memset(name, 'Z', sizeof name);
    jx_generate_random_username(name, 16);
    EXPECT_EQ(std::strlen(name), 15u);
    EXPECT_EQ(std::strncmp(name, "jexley", 6), 0);
    for (int i = 6; i < 15; i++)
        EXPECT_TRUE(name[i] >= '0' && name[i] <= '9') << name;
    EXPECT_EQ(name[16], 'Z');

    char exact[9];
    std::memset(exact, 'Z', sizeof exact);
    jx_generate_random_username(exact, 7);
    EXPECT_STREQ(exact, "jexley");
    EXPECT_EQ(exact[7], 'Z');
    // Too small for the prefix: what fits, terminated, nothing written past z.
    char tiny[5];
    std::memset(tiny, 'Z', sizeof tiny);
    jx_generate_random_username(tiny, 3);
    EXPECT_STREQ(tiny, "je");
    EXPECT_EQ(tiny[3], 'Z');
}

// Two hosts started in the same second must not draw the same instance id.
TEST(Utility, SeedDiffersBetweenProcessesStartedTogether)
{
    jx_clock_set(0);
    std::string ids[2];
    for (auto& id : ids) {
        int fd[2];
        ASSERT_EQ(pipe(fd), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            jx_random_seed();
            char s[33];
            jx_random_str(s, 32);
            ssize_t n = write(fd[1], s, 32);
            _exit(n == 32 ? 0 : 1);
        }
        close(fd[1]);
        char buf[33] = {};
        ASSERT_EQ(read(fd[0], buf, 32), 32);
        close(fd[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        id = buf;
    }
    EXPECT_NE(ids[0], ids[1]);
}
