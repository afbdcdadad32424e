#include "cli/printer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "foundation/meter.hpp"
#include "foundation/utility.hpp"

namespace {

std::string shown(const std::string& s, bool tty)
{
    if (!tty)
        return s;
    std::string out(s.size() + 1, '\0');
    out.resize(jx_str_sanitize(s.c_str(), s.size(), out.data(), out.size()));
    return out;
}

void clear_bar(CliPrinter* p)
{
    if (p->bar)
        std::fputs("\r\033[K", p->err);
    p->bar = false;
}

}  // namespace

CliPrinter cli_printer_std()
{
    return CliPrinter{stdout, stderr, isatty(STDOUT_FILENO) == 1, isatty(STDERR_FILENO) == 1, false, false};
}

void cli_print(CliPrinter* p, const CtlRecord& r)
{
    switch (r.kind) {
    case CTL_OUT:
        clear_bar(p);
        std::fprintf(p->out, "%s\n", shown(r.text, p->out_tty).c_str());
        p->closed = p->closed || std::fflush(p->out) != 0 || std::ferror(p->out) != 0;
        break;
    case CTL_ERR:
        clear_bar(p);
        std::fprintf(p->err, "%s\n", shown(r.text, p->err_tty).c_str());
        break;
    case CTL_ASK:
        clear_bar(p);
        std::fprintf(p->err, "%s [y/N] ", shown(r.text, p->err_tty).c_str());
        break;
    case CTL_PROGRESS: {
        if (!p->err_tty)
            break;
        char line[256];
        const CtlProgress& g = r.progress;
        jx_meter_line(g.name.c_str(), g.done, g.size, g.speed, g.eta, line, sizeof line);
        std::fprintf(p->err, "\r%s\033[K", shown(line, true).c_str());
        p->bar = true;
        break;
    }
    default:
        clear_bar(p);
        break;
    }
    std::fflush(p->err);
}

bool cli_yes(const std::string& typed)
{
    std::string t;
    for (char c : typed)
        if (!std::isspace(static_cast<unsigned char>(c)))
            t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t == "y" || t == "yes";
}
