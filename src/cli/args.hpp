// args: the command lines of the subcommands (send, receive, say, watch): their options, what
// each requires and refuses, and the usage text of each verb. Pure: parsing reads nothing but its
// arguments. May call: foundation (ipv4).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum : uint8_t {
    CLI_NONE = 0,  // not a verb
    CLI_SEND = 1,
    CLI_RECEIVE = 2,
    CLI_SAY = 3,
    CLI_WATCH = 4,
};

// cli_parse results.
enum : uint8_t {
    CLI_ARGS_OK = 0,
    CLI_ARGS_HELP = 1,   // --help: print the verb's usage on standard output, status 0
    CLI_ARGS_USAGE = 2,  // a usage error: why, then the verb's usage on standard error, status 2
};

// The longest text say sends: one datagram's payload.
inline constexpr size_t CLI_TEXT_MAX = 1440;
// No limit of the user's.
inline constexpr int64_t CLI_NO_TIMEOUT = -1;

struct CliArgs {
    uint8_t verb = CLI_NONE;
    uint32_t to = 0;               // send, say: the host (network order)
    uint32_t from = 0;             // receive: the only host offers are taken from
    std::vector<uint32_t> groups;  // say: the one group; watch: each group to join
    bool yes = false, any = false, extract = false, json = false;
    uint32_t count = 0;                   // receive: files to complete; 0 until stopped
    int64_t timeout_us = CLI_NO_TIMEOUT;  // --timeout S
    std::vector<std::string> paths;       // send
    std::string text;                     // say: its words joined by blanks
};

// The verb named by word, CLI_NONE for anything else.
uint8_t cli_verb(const char* word);
// The verb's name ("send"), "" for CLI_NONE.
const char* cli_verb_name(uint8_t verb);
// Parses argv[0] (the verb) .. argv[argc - 1]. Options may come anywhere before "--"; after it every
// word is an operand. Numbers and addresses are checked here, and what a verb requires: send a
// host and a path, say one host or one group and a text of 1..1440 bytes, receive's --yes without
// --from only with --any. CLI_ARGS_* with why for a usage error.
uint8_t cli_parse(int argc, const char* const* argv, CliArgs* args, std::string* why);
// The usage of a verb (every verb's for CLI_NONE), ending in a newline.
const char* cli_usage(uint8_t verb);
