// The subcommands' command lines: what each verb takes and refuses, and the values it keeps.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/args.hpp"

namespace {

struct Parsed {
    uint8_t rc;
    std::string why;
    CliArgs a;
};

Parsed parse(const std::vector<const char*>& argv)
{
    Parsed p{};
    p.rc = cli_parse(static_cast<int>(argv.size()), argv.data(), &p.a, &p.why);
    return p;
}

// What a parse kept, in one line: verb, hosts, groups, flags, count, timeout in ms, operands.
std::string kept(const CliArgs& a)
{
    std::ostringstream o;
    o << cli_verb_name(a.verb) << " to=" << (a.to ? inet_ntoa(in_addr{a.to}) : "-");
    o << " from=" << (a.from ? inet_ntoa(in_addr{a.from}) : "-") << " groups=" << a.groups.size();
    o << " yes=" << a.yes << " any=" << a.any << " extract=" << a.extract << " json=" << a.json;
    o << " count=" << a.count << " timeout=" << (a.timeout_us < 0 ? -1 : a.timeout_us / 1000);
    for (const std::string& p : a.paths)
        o << " [" << p << "]";
    return o.str() + (a.text.empty() ? "" : " text=" + a.text);
}

}  // namespace

TEST(Args, EachVerbKeepsItsOptionsAndOperands)
{
    const std::pair<std::vector<const char*>, const char*> good[] = {
        {{"send", "--to", "10.0.0.2", "a b.pdf", "dir/"},
         "send to=10.0.0.2 from=- groups=0 yes=0 any=0 extract=0 json=0 count=0 timeout=-1 [a b.pdf] [dir/]"},
        {{"send", "--timeout=2.5", "--", "-rf", "--to"},
         nullptr},  // "--to" after "--" is a path: no host given
        {{"receive", "--yes", "--any", "--count", "3", "--extract", "--timeout", "60"},
         "receive to=- from=- groups=0 yes=1 any=1 extract=1 json=0 count=3 timeout=60000"},
        {{"receive", "--from=192.168.1.9", "--yes"},
         "receive to=- from=192.168.1.9 groups=0 yes=1 any=0 extract=0 json=0 count=0 timeout=-1"},
        {{"say", "--group", "255.255.255.255", "lunch", "in", "five"},
         "say to=- from=- groups=1 yes=0 any=0 extract=0 json=0 count=0 timeout=-1 text=lunch in five"},
        {{"say", "--to", "10.0.0.2", "--", "--not-an-option"},
         "say to=10.0.0.2 from=- groups=0 yes=0 any=0 extract=0 json=0 count=0 timeout=-1 "
         "text=--not-an-option"},
        {{"watch", "--json", "--group", "239.0.0.1", "--group", "239.0.0.2"},
         "watch to=- from=- groups=2 yes=0 any=0 extract=0 json=1 count=0 timeout=-1"},
    };
    for (const auto& [argv, want] : good) {
        const Parsed p = parse(argv);
        if (want == nullptr) {
            EXPECT_EQ(p.rc, CLI_ARGS_USAGE) << argv[0];
            continue;
        }
        EXPECT_EQ(p.rc, CLI_ARGS_OK) << p.why;
        EXPECT_EQ(kept(p.a), want);
    }
    EXPECT_EQ(parse({"watch", "--json", "--help"}).rc, CLI_ARGS_HELP);
    EXPECT_EQ(parse({"say", "-h"}).rc, CLI_ARGS_HELP);
    const std::string longest(CLI_TEXT_MAX, 'x');
    EXPECT_EQ(parse({"say", "--to", "10.0.0.2", longest.c_str()}).rc, CLI_ARGS_OK);
}

TEST(Args, UsageErrorsSayWhy)
{
    const std::string too_long(CLI_TEXT_MAX + 1, 'x');
    const std::pair<std::vector<const char*>, const char*> bad[] = {
        {{"push"}, "unknown command 'push'"},
        {{"send", "--to", "10.0.0.2"}, "send needs at least one PATH"},
        {{"send", "a.pdf"}, "send needs --to ADDR"},
        {{"send", "--to", "239.0.0.1", "a"}, "--to needs one host's address; a group goes with --group"},
        {{"send", "--to", "10.0.0.02", "a"}, "--to needs an IPv4 address like 192.168.1.20, not '10.0.0.02'"},
        {{"send", "--to"}, "--to needs a value"},
        {{"send", "--json", "--to", "10.0.0.2", "a"}, "send has no option '--json'"},
        {{"receive", "--yes"}, "--yes without --from accepts files from anyone: add --any to mean it"},
        {{"receive", "--any"}, "--any goes with --yes"},
        {{"receive", "--count", "0"}, "--count needs a whole number of files from 1"},
        {{"receive", "--count", "-1"}, "--count needs a whole number of files from 1"},
        {{"receive", "--extract=yes"}, "--extract takes no value"},
        {{"receive", "x"}, "receive takes no operand ('x')"},
        {{"watch", "--timeout", "0"}, "--timeout needs seconds above 0, like 30 or 2.5"},
        {{"watch", "--timeout", "nan"}, "--timeout needs seconds above 0, like 30 or 2.5"},
        {{"watch", "--group", "10.0.0.1"},
         "--group needs a multicast group (224.0.0.0/4) or 255.255.255.255"},
        {{"say", "--to", "10.0.0.2"}, "say needs a TEXT"},
        {{"say", "hi"}, "say needs one --to ADDR or one --group NET"},
        {{"say", "--to", "10.0.0.2", "--group", "239.0.0.1", "hi"},
         "say needs one --to ADDR or one --group NET"},
        {{"say", "--to", "10.0.0.2", too_long.c_str()},
         "the text is 1441 bytes; one text holds at most 1440"},
    };
    for (const auto& [argv, why] : bad) {
        const Parsed p = parse(argv);
        EXPECT_EQ(std::make_pair(p.rc, p.why), std::make_pair(uint8_t{CLI_ARGS_USAGE}, std::string(why)));
    }
}
