#include "terminal/term.hpp"

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "cli/host.hpp"
#include "engine/comm.hpp"
#include "engine/turn.hpp"
#include "foundation/log.hpp"
#include "foundation/netif.hpp"
#include "foundation/timer.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "terminal/cmd.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/keys.hpp"
#include "terminal/line.hpp"
#include "terminal/state_machine.hpp"

// Set by SIGTERM or SIGHUP; the loop then leaves as if the user had pressed Esc on the home
// screen, so the terminal is restored and every network is left properly.
static volatile sig_atomic_t quit_requested;

static void on_quit_signal(int)
{
    quit_requested = 1;
}

void term_get_size()
{
    struct winsize ws {};
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) != 0)
        return;
    TermData* t = ctx_get();
    t->term_h = ws.ws_row;
    t->term_w = ws.ws_col;
}

bool term_size_check()
{
    TermData* t = ctx_get();
    int32_t w = t->term_w, h = t->term_h;
    term_get_size();
    if (w == t->term_w && h == t->term_h)
        return false;
    t->refresh = 1;
    return true;
}

// Set when the user answered y to the quit question; the turn then ends the loop.
static bool quit_confirmed;

// One typed thing: characters and line edits go to the input line; the answer to a quit question
// is taken here. True when it ends a pass (a key for the screen, or the answer), with ctx.key set.
static bool apply_typed(TermData* t, const KeyEvent& e)
{
    t->prompt_redraw = 1;
    if (t->quit_ask != 0) {
        t->quit_ask = 0;
        quit_confirmed = e.key == KEY_NONE && e.len == 1 && (e.ch[0] == 'y' || e.ch[0] == 'Y');
        return true;
    }
    if (e.key == KEY_NONE) {
        // A line that is full takes nothing more, and says so.
        if (!line_insert(t, e.ch, e.len))
            ctx_err_feedback("Line full (%zu bytes): the rest was not taken", TERM_INPUT_MAX);
        return false;
    }
    if (line_edit(t, e.key))
        return false;
    if (e.key == KEY_CTRL_C)
        cmd_quit();
    t->key = e.key;
    return true;
}

void term_keys_turn(const std::vector<KeyEvent>& typed)
{
    TermData* t = ctx_get();
    if (!typed.empty()) {
        // Whatever is typed clears a shown error.
        memset(t->err_feedback, 0, sizeof t->err_feedback);
        t->prompt_redraw = 1;
    }
    size_t i = 0;
    do {
        t->key = KEY_NONE;
        while (i < typed.size() && !apply_typed(t, typed[i++])) {
        }
        state_update();
        t->refresh = 0;  // taken by the first update of the turn
        if (quit_requested || quit_confirmed) {
            state_set(STATE_EXIT);
            quit_confirmed = false;
        }
        state_change();
        if (io_check_min_size() == 0)
            state_render();
    } while (i < typed.size() && state_get() != STATE_EXIT);
}

void term_turn(const std::vector<KeyEvent>& typed, bool resized)
{
    io_proc_event();
    if (resized)
        ctx_get()->refresh = 1;
    term_keys_turn(typed);
    io_flush();
}

void term_loop()
{
    state_init();
    jx_log("Entering terminal loop");
    io_set_conio_mode();

    struct sigaction sa {};
    sa.sa_handler = on_quit_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A resize interrupts an idle wait, so the screen is laid out again at once.
    struct sigaction winch {};
    winch.sa_handler = [](int) {};
    winch.sa_flags = SA_RESTART;
    sigemptyset(&winch.sa_mask);
    sigaction(SIGWINCH, &winch, nullptr);

    // Subcommands started beside the program on this root ask it through the control socket.
    cli_host_open(true);
    KeyDecoder keys{};
    std::vector<KeyEvent> typed;
    bool keyboard = true;  // false once standard input is at its end
    for (;;) {
        // The engine's turn sleeps until something is due: a datagram, a key, a request on the
        // control socket, a pacing or time rule, a job's step, or an Esc that has waited long
        // enough to count on its own. Whatever woke it is on the screen in the same turn.
        int64_t wait = cli_host_wait_us();
        if (const int64_t due = keys_deadline(&keys); due >= 0) {
            const int64_t key_wait = std::max<int64_t>(due - jx_clock_now_us(), 0);
            wait = wait < 0 ? key_wait : std::min(wait, key_wait);
        }
        if (jx_engine_turn(cli_host_wake_fd(keyboard ? STDIN_FILENO : -1), wait) != 0)
            ctx_err_feedback("Internal error - read error");
        typed.clear();
        if (keyboard && keys_read(STDIN_FILENO, &keys, jx_clock_now_us(), &typed) < 0)
            keyboard = false;
        term_turn(typed, term_size_check());
        cli_host_turn();
        if (state_get() == STATE_EXIT)
            break;
    }
    cli_host_close();
}

// Port a socket of ours is bound to, 0 when it is not an open bound socket.
static uint16_t bound_port(int fd)
{
    if (fd < 0)
        return 0;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET)
        return 0;
    return ntohs(a.sin_port);
}

// The storage root was found but could not be used: which directory, and why.
static bool explain_storage(FILE* out)
{
    const JXFsoFault* f = jx_fso_fault();
    char path[JX_FSO_PATH_SIZE];
    char why[128];
    jx_str_sanitize(f->path, JX_FSO_PATH_MAX, path, sizeof path);
    if (const int err = jx_fso_unclaimed(); err != 0)
        fprintf(out, "Storage root %s was not claimed: its file system has no locks (%s)\n", path,
                strerror(err));
    switch (f->what) {
    case FSO_FAULT_LOCKED: {
        char host[sizeof f->holder.host];
        jx_str_sanitize(f->holder.host, sizeof host - 1, host, sizeof host);
        if (f->holder.pid > 0)
            fprintf(out,
                    "Storage root %s is in use by Jexley process %ld on host %s; one root serves one "
                    "Jexley at a time\n",
                    path, f->holder.pid, host[0] != '\0' ? host : "?");
        else
            fprintf(out,
                    "Storage root %s is in use by another Jexley process; one root serves one Jexley at "
                    "a time\n",
                    path);
        return true;
    }
    case FSO_FAULT_NO_DIR:
        fprintf(out, "Cannot make the directory %s: %s\n", path,
                f->err == ENOTDIR ? "something else of that name is in the way" : strerror(f->err));
        return true;
    case FSO_FAULT_NO_WRITE:
        fprintf(out, "Cannot write in the directory %s: %s\n", path, strerror(f->err));
        return true;
    case FSO_FAULT_UNSAFE:
        fprintf(out, "Will not use %s: it %s; Jexley writes only where no other user can change things\n",
                path, jx_safe_why_str(&f->why, why, sizeof why));
        return true;
    case FSO_FAULT_NO_LOCK:
        fprintf(out, "Cannot claim the storage root: %s%s%s\n", path,
                f->why.what == JX_SAFE_ERRNO ? ": " : " ", jx_safe_why_str(&f->why, why, sizeof why));
        return true;
    default:
        return false;
    }
}

void term_explain_start_failure(const char* argv0, FILE* out)
{
    if (fso.internal_path[0] == '\0') {
        char dir[JX_FSO_PATH_SIZE];
        JXSafeWhy why{};
        if (jx_fso_unusable_root(argv0, dir, &why)) {
            char shown[JX_FSO_PATH_SIZE];
            char text[128];
            jx_str_sanitize(dir, JX_FSO_PATH_MAX, shown, sizeof shown);
            if (why.what == JX_SAFE_ERRNO)
                fprintf(out,
                        "Storage root %s found, but its jx_internal/ is not writable (%s); looked for a "
                        "writable jx_internal in:\n",
                        shown, strerror(why.err));
            else
                fprintf(out,
                        "Storage root %s found, but its jx_internal/ %s, so it is not used (it must be "
                        "this user's or root's and writable by no one else); looked for jx_internal in:\n",
                        shown, jx_safe_why_str(&why, text, sizeof text));
        } else {
            // A root that could not be made on first use says where it stopped.
            (void)explain_storage(out);
            if (jx_fso_home_env() != nullptr)
                fprintf(out, "No storage root found: JEXLEY_HOME names it, and a writable jx_internal/ "
                             "could not be made there; looked for jx_internal in:\n");
            else
                fprintf(out, "No storage root found: a writable jx_internal/ must exist in the program's "
                             "directory or in a directory on PATH, or be made in the data directory; "
                             "looked for jx_internal in:\n");
        }
        std::string where(4096, '\0');
        size_t need = jx_fso_describe_search(argv0, where.data(), where.size());
        if (need >= where.size()) {
            where.assign(need + 1, '\0');
            jx_fso_describe_search(argv0, where.data(), where.size());
        }
        fputs(where.c_str(), out);
        return;
    }
    if (explain_storage(out))
        return;
    // The engine keeps the sockets it opened before failing; ours on 8855 is not a foreign one.
    const JXComm* cc = jx_comm_get();
    uint16_t busy = 0;
    if (bound_port(cc->rcv_sock) != JX_PORT) {
        if (jx_netif_port_busy(JX_PORT))
            busy = JX_PORT;
    } else if (jx_netif_port_busy(JX_DATA_PORT)) {
        busy = JX_DATA_PORT;
    }
    if (busy != 0)
        fprintf(out, "UDP port %u is in use by another program (is Jexley already running?)\n", busy);
    else
        fprintf(out, "Could not open the UDP sockets on ports %u and %u (see jx_internal/log)\n", JX_PORT,
                JX_DATA_PORT);
}
