#include "cli/client.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "control/control.hpp"
#include "control/message.hpp"

namespace {

// The holder may be a moment from serving (it took the lock and is still starting).
constexpr int CONNECT_TRIES = 20;
constexpr long CONNECT_PAUSE_NS = 100000000;
// Waits of at most 200 ms for the status once a stop went out: about 5 s.
constexpr int STOP_POLLS = 25;

int connect_soon(std::string* why)
{
    char text[CTL_WHY_SIZE];
    int err = 0;
    for (int i = 0; i < CONNECT_TRIES; i++) {
        const int fd = ctl_connect(text, sizeof text, &err);
        if (fd >= 0)
            return fd;
        if (err != ENOENT && err != ECONNREFUSED)
            break;
        const timespec pause{0, CONNECT_PAUSE_NS};
        nanosleep(&pause, nullptr);
    }
    *why = text;
    return -1;
}

}  // namespace

int cli_client_run(const std::vector<std::string>& argv, CliPrinter* out, const volatile sig_atomic_t* stop)
{
    char cwd[4096];
    const std::string request =
        ctl_request_line(CtlRequest{argv, getcwd(cwd, sizeof cwd) != nullptr ? cwd : "", out->err_tty});
    // The running Jexley reads no longer line: it is said here, not dropped there without a word.
    if (request.size() > CTL_LINE_MAX) {
        std::fprintf(out->err,
                     "jexley: the command is %zu bytes, more than the %zu the Jexley running on this storage "
                     "root takes: give it fewer paths at a time\n",
                     request.size(), CTL_LINE_MAX);
        return 2;
    }
    std::string why;
    CtlConn c;
    c.fd = connect_soon(&why);
    if (c.fd < 0) {
        std::fprintf(
            out->err,
            "jexley: another Jexley holds the storage root, and its control socket cannot be used: %s\n",
            why.c_str());
        return 3;
    }
    (void)ctl_send(&c, request);
    bool asking = false;
    int stop_sent = 0;  // polls left for the exit status once a stop went out
    std::string typed;
    for (;;) {
        pollfd fds[2] = {{c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0},
                         {STDIN_FILENO, POLLIN, 0}};
        (void)poll(fds, asking ? 2 : 1, 200);
        // Stopped, the command ends there with the status its verb gives a stop; a server that
        // does not say it in time is left.
        if ((*stop != 0 || out->closed) && stop_sent == 0) {
            (void)ctl_send(&c, ctl_stop_line());
            stop_sent = STOP_POLLS;
            asking = false;
        } else if (stop_sent > 0 && --stop_sent == 0) {
            cli_print(out, CtlRecord{CTL_ERR, "jexley " + argv[0] + ": interrupted", {}, 0});
            close(c.fd);
            return 1;
        }
        std::string line;
        if (asking && (fds[1].revents & (POLLIN | POLLHUP)) != 0 &&
            cli_typed_line(STDIN_FILENO, &typed, &line)) {
            asking = false;
            (void)ctl_send(&c, ctl_answer_line(cli_yes(line)));
        }
        (void)ctl_flush(&c);
        std::vector<std::string> lines;
        (void)ctl_read(&c, &lines);
        for (const std::string& l : lines) {
            CtlRecord r;
            if (!ctl_record_parse(l, &r, &why)) {
                std::fprintf(out->err, "jexley: the running Jexley sent a line that does not read: %s\n",
                             why.c_str());
                close(c.fd);
                return 1;
            }
            cli_print(out, r);
            if (r.kind == CTL_EXIT) {
                close(c.fd);
                return r.status;
            }
            asking = asking || r.kind == CTL_ASK;
        }
        if (c.eof) {
            cli_print(out, CtlRecord{CTL_ERR, "jexley: the Jexley that ran the command went away", {}, 0});
            close(c.fd);
            return 1;
        }
    }
}
