// message: what travels on the control socket, one JSON object per line. A client sends one
// request (its command line, its directory, whether it shows progress), then replies: answers
// to the questions it is asked, or a stop (its user pressed Ctrl-C); the server sends the command's output records: a line for standard
// output or standard error, a progress reading, a question, and the exit status last. The same
// records carry a command's output when it runs alone, so one implementation serves both.
// Everything read is untrusted: a line that is no JSON, or not the expected shape, is refused
// with a reason, never thrown at the caller. May call: nlohmann-json.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum : uint8_t {
    CTL_OUT = 1,       // a line for standard output
    CTL_ERR = 2,       // a line for standard error
    CTL_PROGRESS = 3,  // how far a transfer is
    CTL_ASK = 4,       // a y/N question; the client answers with ctl_answer_line
    CTL_EXIT = 5,      // the command ended with this status; nothing follows
};

struct CtlProgress {
    std::string name;
    uint64_t done = 0;
    uint64_t size = 0;
    double speed = 0;  // bytes per microsecond, as the transfer records keep it
    int64_t eta = -1;  // seconds left; -1 unknown
};

struct CtlRecord {
    uint8_t kind = 0;
    std::string text;  // CTL_OUT, CTL_ERR, CTL_ASK
    CtlProgress progress;
    int status = 0;  // CTL_EXIT
};

struct CtlRequest {
    std::vector<std::string> argv;  // from the verb on: {"send", "--to", "10.0.0.2", "a.pdf"}
    std::string cwd;                // relative paths are the client's
    bool progress = false;          // the client shows progress (its standard error is a terminal)
};

// Each line ends in '\n'. Strings that are no valid UTF-8 are sent with U+FFFD in place of the
// bad bytes, so a line is always valid JSON.
std::string ctl_record_line(const CtlRecord& r);
std::string ctl_request_line(const CtlRequest& r);
// {"answer": yes}, or {"stop": true}: the command is to end as if interrupted.
std::string ctl_answer_line(bool yes);
std::string ctl_stop_line();

// Parsers of one line (without its newline): true, or false with why.
bool ctl_record_parse(const std::string& line, CtlRecord* r, std::string* why);
bool ctl_request_parse(const std::string& line, CtlRequest* r, std::string* why);
// A reply after the request: *stop set for a stop, else *yes for an answer.
bool ctl_reply_parse(const std::string& line, bool* stop, bool* yes, std::string* why);
