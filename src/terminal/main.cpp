// Jexley: LAN chat and file transfer in a terminal. Starts the engine and the terminal, runs the
// main loop, and shuts both down in reverse order.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/args.hpp"
#include "cli/cli.hpp"
#include "doctor/doctor.hpp"
#include "engine/comm.hpp"
#include "foundation/log.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "terminal/cmd.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/remember.hpp"
#include "terminal/term.hpp"

namespace {

// The verbs' lines come from their own usage, so the two never disagree.
const char ABOUT[] =
    "Jexley lets people on a LAN find each other, chat in group and direct channels and send\n"
    "each other files, in a terminal. There is no server: every host runs one Jexley.\n"
    "The subcommands do the same from scripts, without a screen; beside a running Jexley on\n"
    "the same storage root they ask it to do the work. The reason a command was not done goes\n"
    "to standard error.\n"
    "\n"
    "  --doctor   check why a colleague is not seen and exit, without the screen: this\n"
    "             host's interfaces and addresses, the routes multicast and broadcast leave\n"
    "             by, who holds UDP ports 8855 and 8856, the storage root, firewall rules\n"
    "             that drop those ports (nftables), then 12 s of listening, sending nothing,\n"
    "             for the Jexleys on 239.0.0.0-239.0.0.254 and 255.255.255.255. Each finding\n"
    "             comes with a hint; exit status 1 when one failed. Run it as root to see\n"
    "             every process and firewall rule.\n"
    "\n"
    "Storage root: $JEXLEY_HOME when it is set; otherwise the first of these directories that\n"
    "holds a usable jx_internal/: the program's own directory (the current directory when\n"
    "started by bare name), each element of PATH, the directory of the program's symbolic-link\n"
    "target, and last $XDG_DATA_HOME/jexley (~/.local/share/jexley), made on first use.\n"
    "Conversations are kept in msg/ and received files in downloads/ under it (made at start\n"
    "when missing). One Jexley at a time uses a root; a second one started on it says which\n"
    "process holds it.\n"
    "Log: jx_internal/log under the storage root.\n"
    "\n"
    "Environment:\n"
    "  JEXLEY_HOME      the storage root to use (made on first use when missing)\n"
    "  XDG_DATA_HOME    where the storage root is made when the search finds none\n"
    "  JEXLEY_BIN       where scripts/install.sh links the program (default ~/.local/bin)\n"
    "  JEXLEY_BELL      0 turns off the bell for new offers and texts on other channels\n"
    "  JEXLEY_PACING    classic selects the original transfer pacing, for peers built to the\n"
    "                   letter of the old rules\n"
    "  JEXLEY_MAX_RATE  caps what Jexley sends, in MB/s, for people who share a slow link\n";

void usage(FILE* out)
{
    // "Usage: jexley send ..." joins the program's own line, under it.
    const char* verbs = cli_usage(CLI_NONE) + strlen("Usage: ");
    fprintf(out, "Usage: jexley [-h | --help | -v | --version | --doctor]\n       %s\n%s", verbs, ABOUT);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* argv0 = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    // Answered before anything else: no terminal mode, no claim on a storage root, no log.
    // A verb runs without the screen; the terminal is never touched.
    if (argc > 1 && cli_verb(argv[1]) != CLI_NONE)
        return cli_main(argc - 1, argv + 1, argv0, term_explain_start_failure);
    if (argc > 1) {
        const char* opt = argv[1];
        if (strcmp(opt, "--help") == 0 || strcmp(opt, "-h") == 0) {
            usage(stdout);
            return 0;
        }
        if (strcmp(opt, "--version") == 0 || strcmp(opt, "-v") == 0) {
            puts("jexley " JEXLEY_VERSION);
            return 0;
        }
        if (strcmp(opt, "--doctor") == 0)
            return doctor_run(argv0, stdout);
        // Anything else is a mistake: said on standard error, and the screen is never started.
        char shown[64];
        jx_str_sanitize(opt, strlen(opt), shown, sizeof shown);
        fprintf(stderr, "jexley: unknown %s '%s'\n", opt[0] == '-' ? "option" : "command", shown);
        usage(stderr);
        return 2;
    }
    jx_random_seed();

    if (jx_comm_init(argv0) != 0) {
        printf("Internal error - comm error!\n");
        term_explain_start_failure(argv0, stdout);
        return 1;
    }
    jx_log("JXComm initialized");
    if (ctx_init() != 0) {
        printf("Internal error - term data error!\n");
        return 1;
    }
    term_get_size();
    jx_log("Initialized terminal data");
    cli_load_username();
    remember_load(cmd_join_refused);
    if (jx_fso_unclaimed() != 0)
        ctx_err_feedback("Storage root not claimed: its file system has no locks");

    term_loop();

    ctx_close();
    jx_log("TermData closed");
    jx_comm_close();
    jx_log("JXComm closed");
    jx_log("FSO closing");
    jx_log("Logger closing");
    jx_log_close();
    jx_fso_close();
    io_clear();
    io_flush();
    // Raw mode is undone by the exit handler that io_set_conio_mode registered.
    return 0;
}
