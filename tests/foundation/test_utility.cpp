// Texts as the screens and the log show them (sanitizing, display widths, durations and sizes),
// dotted quads, and the random values that tell hosts apart.
#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>

#include "foundation/ipv4.hpp"
#include "foundation/random.hpp"
#include "foundation/utf8.hpp"
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

std::string sanitized(const std::string& in, size_t n, size_t out_size = 99)
{
    return render(out_size, [&](char* b, size_t size) { jx_str_sanitize(in.data(), n, b, size); });
}

}  // namespace

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
        // Bidi overrides, embeddings, isolates and marks read text backwards: one '?' each.
        {"a\u202Eb\u202Ac\u2066d\u2069\u200E\u200F\u061Ce\u200Df", "a?b?c?d????e\u200Df"},
        {std::string("ab\0cd", 5), "ab"}};
    for (const auto& [in, want] : rows)
        EXPECT_EQ(sanitized(in, in.size()), want) << in;
    // At most n bytes are read; the output bound is kept and a character that does not fit is left out whole.
    EXPECT_EQ(sanitized("ab\xe2\x82\xac", 4), "ab??");
    EXPECT_EQ(sanitized("ab\xe2\x82\xac", 5, 5), "ab");
    EXPECT_EQ(sanitized("abcdefgh", 8, 5), "abcd");
}

TEST(Utility, CellsCutsAndRowsAsATerminalShowsThem)
{
    // Wide and fullwidth 2, combining marks and zero-width 0, half-width kana 1, and a byte that
    // is no character (shown as '?') or a control, bidi controls included, 1.
    const std::pair<const char*, size_t> widths[] = {
        {"Grüße", 5},         {"日本語", 6},           {"한글", 4},         {"😀✅", 4}, {"ＡＢ", 4}, {"ｱｲ", 2},
        {"e\u0301\u200b", 1}, {"\xff\x1b\xe2\x82", 4}, {"a\u202E\u2066", 3}};
    for (const auto& [s, cells] : widths)
        EXPECT_EQ(jx_str_cells(s, strlen(s)), cells) << s;
    // {text, head kept, tail kept, max cells}: never half a character; marks stay with their base
    // at the end of a head and are dropped at the start of a tail.
    const struct {
        const char *s, *head, *tail;
        size_t max;
    } cuts[] = {{"ab日本", "ab", "本", 3},
                {"ab日本", "ab日", "日本", 4},
                {"xe\u0301a\u0301b", "xe\u0301", "a\u0301b", 2}};
    for (const auto& c : cuts) {
        const size_t n = strlen(c.s);
        EXPECT_EQ(std::string(c.s, jx_str_head(c.s, n, c.max, nullptr)), c.head) << c.s;
        EXPECT_EQ(std::string(c.s + jx_str_tail(c.s, n, c.max, nullptr)), c.tail) << c.s;
    }
}

TEST(Utility, DurationsAndSizes)
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
}

TEST(Utility, StrictDottedQuadsAndAddressClasses)
{
    for (const char* ok : {"10.0.0.1", "0.0.0.0", "255.255.255.255", "1.20.100.0"})
        EXPECT_EQ(ipv4_check(ok), 0) << ok;
    for (const char* bad :
         {"10.0.0", "10..0.1", "10.0.0.1.", "1.2.3.", ".10.0.0.1", "256.1.1.1", "1000.0.0.1", " 10.0.0.1",
          "10.0.0.1 ", "01.2.3.4", "10.00.0.1", "1.2.3.4.5", "a.b.c.d", ""})
        EXPECT_EQ(ipv4_check(bad), 1) << bad;
    EXPECT_EQ(ipv4_check(nullptr), 1);
    // Multicast is 224.0.0.0/4; broadcast is the all-ones address only, not a subnet's.
    EXPECT_TRUE(is_mcast_addr(inet_addr("224.0.0.0")) && is_mcast_addr(inet_addr("239.255.255.255")));
    EXPECT_FALSE(is_mcast_addr(inet_addr("240.0.0.0")) || is_mcast_addr(inet_addr("223.255.255.255")));
    EXPECT_TRUE(is_bcast_addr(inet_addr("255.255.255.255")) && !is_bcast_addr(inet_addr("192.168.1.255")));
    EXPECT_STREQ(jx_ip_str(inet_addr("239.1.2.3")).s, "239.1.2.3");
}

TEST(Utility, RandomNamesAndIdsThatDifferBetweenHostsAndRepeatOnlyWhenAskedTo)
{
    EXPECT_TRUE(std::regex_match(render(16, jx_generate_random_username), std::regex("jexley[0-9]{9}")));
    char id[33];
    EXPECT_TRUE(std::regex_match(jx_random_str(id, 32), std::regex("[0-8a-yA-Y]{32}")));
    // Transfer id bytes keep the wire's 0..254, every one of them drawn.
    uint8_t b[20000];
    jx_random_bytes(b, sizeof b);
    EXPECT_EQ(*std::max_element(b, b + sizeof b), 254);
    EXPECT_EQ(*std::min_element(b, b + sizeof b), 0);
    // The seam repeats a sequence per seed; 0 goes back to the system's source.
    std::string seq[3];
    for (uint64_t i = 0; i < 3; i++) {
        jx_random_repeatable(i < 2 ? 7 : 8);
        seq[i] = jx_random_str(id, 32);
    }
    jx_random_seed();
    EXPECT_EQ(seq[0], seq[1]);
    EXPECT_NE(seq[0], seq[2]);
    EXPECT_NE(std::string(jx_random_str(id, 32)), seq[0]);
    // Two hosts started in the same second must not draw the same instance id.
    std::string ids[2];
    for (auto& one : ids) {
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
        one = buf;
    }
    EXPECT_NE(ids[0], ids[1]);
}
