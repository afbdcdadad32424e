#include "cli/printer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

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

bool cli_typed_line(int fd, std::string* pending, std::string* line)
{
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        pending->append(buf, static_cast<size_t>(n));
    const size_t nl = pending->find('\n');
    const bool ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    if (nl == std::string::npos && !ended)
        return false;
    *line = pending->substr(0, nl);
    pending->erase(0, nl == std::string::npos ? std::string::npos : nl + 1);
    return true;
}
