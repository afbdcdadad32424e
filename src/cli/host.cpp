#include "cli/host.hpp"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "cli/job.hpp"
#include "control/control.hpp"
#include "control/message.hpp"
#include "engine/comm.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

struct Client {
    CtlConn conn;
    CliJob* job = nullptr;
    uint32_t events = 0;   // what epoll watches for it now
    bool refused = false;  // its request was answered with an exit status at once
};

constexpr size_t CLIENTS_MAX = 64;
// Out of descriptors, the listener stays readable: it is set aside this long rather than polled.
constexpr int64_t LISTEN_PAUSE_US = 250000;

int listen_fd = -1;
int64_t listen_paused_until = 0;  // 0: watched
bool accept_failing = false;      // said in the log once per run of failures
int ep = -1;
int keyboard = -1;
bool terminal = false;
std::vector<std::unique_ptr<Client>> clients;

void emit(void* arg, const CtlRecord& r)
{
    (void)ctl_send(&static_cast<Client*>(arg)->conn, ctl_record_line(r));
}

void refuse(Client* c, int status, const std::string& why)
{
    c->refused = true;
    if (!why.empty())
        (void)ctl_send(&c->conn, ctl_record_line(CtlRecord{CTL_ERR, "jexley: " + why, {}, 0}));
    (void)ctl_send(&c->conn, ctl_record_line(CtlRecord{CTL_EXIT, "", {}, status}));
}

// The first line of a client: its command, run as a job of ours. Nothing in it is trusted: the
// client checked it, and it is checked again.
void take_request(Client* c, const std::string& line)
{
    CtlRequest req;
    std::string why;
    if (!ctl_request_parse(line, &req, &why)) {
        jx_log("Control request refused: %s", why.c_str());
        refuse(c, 2, "request refused: " + why);
        return;
    }
    std::vector<const char*> argv;
    for (const std::string& a : req.argv)
        argv.push_back(a.c_str());
    CliArgs args;
    const uint8_t rc = cli_parse(static_cast<int>(argv.size()), argv.data(), &args, &why);
    if (rc == CLI_ARGS_HELP) {
        std::string usage = cli_usage(args.verb);
        usage.pop_back();  // the record is a line already
        (void)ctl_send(&c->conn, ctl_record_line(CtlRecord{CTL_OUT, usage, {}, 0}));
        refuse(c, 0, "");
        return;
    }
    if (rc != CLI_ARGS_OK || req.cwd.empty() || req.cwd[0] != '/') {
        refuse(c, 2, rc != CLI_ARGS_OK ? why : "request refused: cwd is not an absolute path");
        return;
    }
    jx_log("Control request: %s", cli_verb_name(args.verb));
    c->job = cli_job_new(args, req.cwd, req.progress, terminal, CliSink{emit, c});
}

void take_lines(Client* c)
{
    std::vector<std::string> lines;
    if (ctl_read(&c->conn, &lines) == 2)
        jx_log("Control client dropped: a line over %zu bytes", CTL_LINE_MAX);
    for (const std::string& line : lines) {
        if (c->conn.eof)
            break;
        if (c->refused)
            break;
        if (c->job == nullptr) {
            take_request(c, line);
            continue;
        }
        bool stop = false, yes = false;
        std::string why;
        if (!ctl_reply_parse(line, &stop, &yes, &why))
            jx_log("Control reply ignored: %s", why.c_str());
        else if (stop)
            cli_job_stop(c->job, "interrupted");
        else
            cli_job_answer(c->job, yes);
    }
}

void watch(int fd, uint32_t events, int op)
{
    epoll_event e{};
    e.events = events;
    e.data.fd = fd;
    (void)epoll_ctl(ep, op, fd, &e);
}

void accept_all(int64_t now)
{
    for (;;) {
        auto c = std::make_unique<Client>();
        bool refused = false;
        if (ctl_accept(listen_fd, &c->conn, &refused) < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
                return;
            if (!accept_failing)
                jx_log("Control connections not taken: %s", std::strerror(errno));
            accept_failing = true;
            watch(listen_fd, 0, EPOLL_CTL_DEL);
            listen_paused_until = now + LISTEN_PAUSE_US;
            return;
        }
        accept_failing = false;
        c->refused = refused;
        // Commands of this user only, but not without end: one too many is told so and let go
        // at once, holding no place (what it sent is read first, so the lines are not reset).
        if (!refused && clients.size() >= CLIENTS_MAX) {
            refuse(c.get(), 1, "too many commands at once on this storage root");
            (void)ctl_done(&c->conn, now);
            close(c->conn.fd);
            continue;
        }
        c->events = EPOLLIN;
        watch(c->conn.fd, EPOLLIN, EPOLL_CTL_ADD);
        clients.push_back(std::move(c));
    }
}

// A client whose job ended goes once its output is written and it closed its side; one that left
// stops its job.
bool finished(Client* c, int64_t now)
{
    if (c->conn.eof && (c->job == nullptr || c->job->status == CLI_RUNNING)) {
        if (c->job != nullptr)
            cli_job_stop(c->job, "the command's client went away");
        return true;
    }
    const bool ended = c->refused || (c->job != nullptr && c->job->status != CLI_RUNNING);
    return ended && ctl_done(&c->conn, now);
}

void drop(Client* c)
{
    cli_job_free(c->job);
    watch(c->conn.fd, 0, EPOLL_CTL_DEL);
    close(c->conn.fd);
}

}  // namespace

void cli_host_open(bool in_terminal)
{
    terminal = in_terminal;
    char why[CTL_WHY_SIZE];
    listen_fd = ctl_listen(why, sizeof why);
    if (listen_fd < 0) {
        jx_log("Control socket not served: %s", why);
        return;
    }
    ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        ctl_unlisten(listen_fd);
        listen_fd = -1;
        return;
    }
    watch(listen_fd, EPOLLIN, EPOLL_CTL_ADD);
}

void cli_host_unlisten()
{
    if (listen_fd < 0)
        return;
    watch(listen_fd, 0, EPOLL_CTL_DEL);
    ctl_unlisten(listen_fd);
    listen_fd = -1;
    listen_paused_until = 0;
}

void cli_host_close()
{
    for (auto& c : clients) {
        if (c->job != nullptr)
            cli_job_stop(c->job, "the Jexley that ran the command ended");
        (void)ctl_flush(&c->conn);
        drop(c.get());
    }
    clients.clear();
    cli_jobs_close();
    ctl_unlisten(listen_fd);
    listen_fd = -1;
    listen_paused_until = 0;
    if (ep >= 0)
        close(ep);
    ep = -1;
    keyboard = -1;
}

int cli_host_wake_fd(int keyboard_fd)
{
    if (ep < 0)
        return keyboard_fd;
    if (keyboard_fd != keyboard) {
        if (keyboard >= 0)
            watch(keyboard, 0, EPOLL_CTL_DEL);
        // A keyboard that is a file cannot be watched; it never blocks anyway.
        if (keyboard_fd >= 0)
            watch(keyboard_fd, EPOLLIN, EPOLL_CTL_ADD);
        keyboard = keyboard_fd;
    }
    return ep;
}

void cli_host_turn()
{
    int64_t now = jx_clock_now_us();
    if (listen_paused_until != 0 && now >= listen_paused_until) {
        listen_paused_until = 0;
        watch(listen_fd, EPOLLIN, EPOLL_CTL_ADD);
    }
    // Only what is ready is read or written: no system call per client and turn.
    epoll_event ready[CLIENTS_MAX + 2];
    const int n = ep >= 0 ? epoll_wait(ep, ready, static_cast<int>(std::size(ready)), 0) : 0;
    for (int i = 0; i < n; i++) {
        const int fd = ready[i].data.fd;
        if (fd == listen_fd) {
            accept_all(now);
            continue;
        }
        const auto it = std::find_if(clients.begin(), clients.end(),
                                     [fd](const std::unique_ptr<Client>& c) { return c->conn.fd == fd; });
        if (it == clients.end())
            continue;
        if ((ready[i].events & EPOLLOUT) != 0)
            (void)ctl_flush(&(*it)->conn);
        if ((ready[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && (*it)->conn.closing_us == 0)
            take_lines(it->get());
    }
    cli_jobs_step();
    now = jx_clock_now_us();
    for (auto it = clients.begin(); it != clients.end();) {
        Client* c = it->get();
        if (finished(c, now)) {
            drop(c);
            it = clients.erase(it);
            continue;
        }
        // Output waiting wakes the loop when the client can take it.
        const uint32_t want = EPOLLIN | (c->conn.out.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
        if (want != c->events)
            watch(c->conn.fd, want, EPOLL_CTL_MOD);
        c->events = want;
        ++it;
    }
}

void cli_host_event(const JXEvent* ev)
{
    cli_jobs_event(ev);
}

int64_t cli_host_wait_us()
{
    // What a job did this turn (a text sent, an upload offered) is taken in at once.
    if (jx_list_size(&jx_comm_get()->events) > 0)
        return 0;
    int64_t wait = cli_jobs_wait_us();
    const auto at_most = [&wait](int64_t us) { wait = wait < 0 ? us : std::min(wait, us); };
    // A client given its last line is let go when it closes, or when it has lingered too long.
    for (const auto& c : clients)
        if (c->conn.closing_us != 0)
            at_most(CTL_LINGER_US);
    if (listen_paused_until != 0)
        at_most(std::max<int64_t>(listen_paused_until - jx_clock_now_us(), 0));
    return wait;
}
