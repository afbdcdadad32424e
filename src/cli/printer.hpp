// printer: a command's output records on this process's standard output and standard error, the
// same whether the command ran here or in the Jexley that holds the root. Lines for a terminal
// are cleaned of control characters (a peer's name or text never reaches it as an escape
// sequence); lines for a file or pipe are written as they are. Progress is one bar line redrawn
// on standard error, shown only while it is a terminal and cleared before any other line. Also
// the answers typed to a command's questions, wherever it runs.
// May call: foundation (meter, utility), control (records), read(2).
#pragma once

#include <cstdio>
#include <string>

#include "control/message.hpp"

struct CliPrinter {
    FILE* out;
    FILE* err;
    bool out_tty;
    bool err_tty;
    bool bar;     // a progress line is on standard error now
    bool closed;  // standard output can no longer be written (a reader like `head -1` is gone)
};

// The printer of standard output and error.
CliPrinter cli_printer_std();
// Writes one record: CTL_OUT and CTL_ERR as a line, CTL_PROGRESS as the bar (on a terminal),
// CTL_ASK as the question with " [y/N] " on standard error; CTL_EXIT writes nothing. A line that
// cannot be written to standard output sets closed: the command then stops as if interrupted.
void cli_print(CliPrinter* p, const CtlRecord& r);
// Whether a typed answer means yes: "y" or "yes" in any case, blanks around allowed.
bool cli_yes(const std::string& typed);
// Reads what fd (non-blocking) holds into pending, and takes one typed line (without its newline)
// from it: true when a whole line is there, or at the input's end, where what is left (maybe
// nothing) is the line; a read error ends the input too. false while the line is still coming.
bool cli_typed_line(int fd, std::string* pending, std::string* line);
