#include "cli/args.hpp"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "foundation/ipv4.hpp"

namespace {

constexpr const char* VERBS[] = {"", "send", "receive", "say", "watch"};

const char USAGE_SEND[] =
    "Usage: jexley send --to ADDR [--timeout S] PATH...\n"
    "  Offer each file to the host ADDR and wait until each ends; a folder goes as one NAME.tar.\n"
    "  Gives up after 30 s when ADDR never answers, then waits for acceptance without limit.\n";
const char USAGE_RECEIVE[] =
    "Usage: jexley receive [--from ADDR] [--yes [--any]] [--count N] [--extract] [--timeout S]\n"
    "  Accept offers into downloads/, asking y/N on a terminal unless --yes (with --any when\n"
    "  there is no --from); --count N stops after N files, --extract unpacks a received .tar.\n";
const char USAGE_SAY[] =
    "Usage: jexley say --to ADDR [--timeout S] TEXT...\n"
    "       jexley say --group NET [--timeout S] TEXT...\n"
    "  Send one text and wait until every peer acknowledged it (or its resends ran out).\n";
const char USAGE_WATCH[] = "Usage: jexley watch [--json] [--group NET]... [--timeout S]\n"
                           "  Print each event, one line each (a JSON object with --json), until Ctrl-C.\n";
const char USAGE_ALL[] =
    "Usage: jexley send --to ADDR [--timeout S] PATH...\n"
    "       jexley receive [--from ADDR] [--yes [--any]] [--count N] [--extract] [--timeout S]\n"
    "       jexley say (--to ADDR | --group NET) [--timeout S] TEXT...\n"
    "       jexley watch [--json] [--group NET]... [--timeout S]\n"
    "  jexley VERB --help tells more. Exit status: 0 done, 1 not done, 2 usage, 3 storage root.\n";

enum : uint8_t { TAKES_NOTHING, TAKES_HOST, TAKES_GROUP, TAKES_COUNT, TAKES_SECONDS };

constexpr uint8_t bit(uint8_t verb)
{
    return static_cast<uint8_t>(1u << verb);
}

struct Option {
    const char* name;
    uint8_t verbs;  // bit(verb) of each verb that takes it
    uint8_t takes;
};

constexpr uint8_t ALL = bit(CLI_SEND) | bit(CLI_RECEIVE) | bit(CLI_SAY) | bit(CLI_WATCH);
constexpr Option OPTIONS[] = {
    {"--to", bit(CLI_SEND) | bit(CLI_SAY), TAKES_HOST},
    {"--from", bit(CLI_RECEIVE), TAKES_HOST},
    {"--group", bit(CLI_SAY) | bit(CLI_WATCH), TAKES_GROUP},
    {"--yes", bit(CLI_RECEIVE), TAKES_NOTHING},
    {"--any", bit(CLI_RECEIVE), TAKES_NOTHING},
    {"--extract", bit(CLI_RECEIVE), TAKES_NOTHING},
    {"--count", bit(CLI_RECEIVE), TAKES_COUNT},
    {"--json", bit(CLI_WATCH), TAKES_NOTHING},
    {"--timeout", ALL, TAKES_SECONDS},
};

// Takes the option's value; false with why when it is not one.
bool take_value(const Option& o, const std::string& v, CliArgs* a, std::string* why)
{
    uint32_t addr = 0;
    if (o.takes == TAKES_HOST || o.takes == TAKES_GROUP) {
        if (ipv4_check(v.c_str()) != 0) {
            *why = std::string(o.name) + " needs an IPv4 address like 192.168.1.20, not '" + v + "'";
            return false;
        }
        addr = inet_addr(v.c_str());
        const bool group = is_mcast_addr(addr) || is_bcast_addr(addr);
        if (o.takes == TAKES_GROUP && !group) {
            *why = std::string(o.name) + " needs a multicast group (224.0.0.0/4) or 255.255.255.255";
            return false;
        }
        if (o.takes == TAKES_HOST && group) {
            *why = std::string(o.name) + " needs one host's address; a group goes with --group";
            return false;
        }
    }
    char* end = nullptr;
    errno = 0;
    if (o.takes == TAKES_COUNT) {
        const unsigned long n = std::strtoul(v.c_str(), &end, 10);
        if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0 || n == 0 || n > UINT32_MAX) {
            *why = "--count needs a whole number of files from 1";
            return false;
        }
        a->count = static_cast<uint32_t>(n);
    } else if (o.takes == TAKES_SECONDS) {
        const double s = std::strtod(v.c_str(), &end);
        // At most a year: a limit is a limit, and microseconds of it must fit.
        if (v.empty() || *end != '\0' || errno != 0 || !std::isfinite(s) || s <= 0 || s > 31536000) {
            *why = "--timeout needs seconds above 0, like 30 or 2.5";
            return false;
        }
        a->timeout_us = static_cast<int64_t>(s * 1e6);
    } else if (std::strcmp(o.name, "--to") == 0) {
        a->to = addr;
    } else if (std::strcmp(o.name, "--from") == 0) {
        a->from = addr;
    } else if (o.takes == TAKES_GROUP) {
        a->groups.push_back(addr);
    }
    return true;
}

bool take_flag(const Option& o, CliArgs* a)
{
    const std::string n = o.name;
    (n == "--yes" ? a->yes : n == "--any" ? a->any : n == "--extract" ? a->extract : a->json) = true;
    return true;
}

// What each verb requires once every word is read.
bool complete(CliArgs* a, const std::vector<std::string>& operands, std::string* why)
{
    switch (a->verb) {
    case CLI_SEND:
        a->paths = operands;
        if (a->to == 0 || a->paths.empty())
            *why = a->to == 0 ? "send needs --to ADDR" : "send needs at least one PATH";
        break;
    case CLI_SAY:
        for (const std::string& w : operands)
            a->text += (a->text.empty() ? "" : " ") + w;
        if ((a->to == 0) == a->groups.empty() || a->groups.size() > 1)
            *why = "say needs one --to ADDR or one --group NET";
        else if (a->text.empty())
            *why = "say needs a TEXT";
        else if (a->text.size() > CLI_TEXT_MAX)
            *why = "the text is " + std::to_string(a->text.size()) + " bytes; one text holds at most 1440";
        break;
    case CLI_RECEIVE:
        if (!operands.empty())
            *why = "receive takes no operand ('" + operands[0] + "')";
        else if (a->yes && a->from == 0 && !a->any)
            *why = "--yes without --from accepts files from anyone: add --any to mean it";
        else if (a->any && !a->yes)
            *why = "--any goes with --yes";
        break;
    default:
        if (!operands.empty())
            *why = "watch takes no operand ('" + operands[0] + "')";
        break;
    }
    return why->empty();
}

}  // namespace

uint8_t cli_verb(const char* word)
{
    for (uint8_t v = CLI_SEND; v <= CLI_WATCH; v++)
        if (word != nullptr && std::strcmp(word, VERBS[v]) == 0)
            return v;
    return CLI_NONE;
}

const char* cli_verb_name(uint8_t verb)
{
    return verb <= CLI_WATCH ? VERBS[verb] : "";
}

uint8_t cli_parse(int argc, const char* const* argv, CliArgs* a, std::string* why)
{
    *a = CliArgs{};
    why->clear();
    a->verb = argc > 0 ? cli_verb(argv[0]) : static_cast<uint8_t>(CLI_NONE);
    if (a->verb == CLI_NONE) {
        *why = std::string("unknown command '") + (argc > 0 ? argv[0] : "") + "'";
        return CLI_ARGS_USAGE;
    }
    std::vector<std::string> operands;
    bool options = true;
    for (int i = 1; i < argc; i++) {
        std::string w = argv[i];
        if (!options || w.size() < 2 || w[0] != '-') {
            operands.push_back(w);
            continue;
        }
        if (w == "--") {
            options = false;
            continue;
        }
        if (w == "--help" || w == "-h")
            return CLI_ARGS_HELP;
        std::string value;
        bool inline_value = false;
        if (const size_t eq = w.find('='); eq != std::string::npos) {
            value = w.substr(eq + 1);
            w.resize(eq);
            inline_value = true;
        }
        const Option* o = nullptr;
        for (const Option& c : OPTIONS)
            if (w == c.name && (c.verbs & bit(a->verb)) != 0)
                o = &c;
        if (o == nullptr) {
            *why = std::string(cli_verb_name(a->verb)) + " has no option '" + w + "'";
            return CLI_ARGS_USAGE;
        }
        if (o->takes == TAKES_NOTHING) {
            if (inline_value) {
                *why = w + " takes no value";
                return CLI_ARGS_USAGE;
            }
            take_flag(*o, a);
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                *why = w + " needs a value";
                return CLI_ARGS_USAGE;
            }
            value = argv[++i];
        }
        if (!take_value(*o, value, a, why))
            return CLI_ARGS_USAGE;
    }
    return complete(a, operands, why) ? CLI_ARGS_OK : CLI_ARGS_USAGE;
}

const char* cli_usage(uint8_t verb)
{
    switch (verb) {
    case CLI_SEND:
        return USAGE_SEND;
    case CLI_RECEIVE:
        return USAGE_RECEIVE;
    case CLI_SAY:
        return USAGE_SAY;
    case CLI_WATCH:
        return USAGE_WATCH;
    default:
        return USAGE_ALL;
    }
}
