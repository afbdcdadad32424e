// Jexley: LAN chat and file transfer in a terminal. Starts the engine and the terminal, runs the
// main loop, and shuts both down in reverse order.
#include <cstdio>
#include <cstdlib>

#include "engine/comm.hpp"
#include "foundation/log.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/term.hpp"

int main(int argc, char** argv)
{
    const char* argv0 = argc > 0 && argv[0] != nullptr ? argv[0] : "";
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
    jx_log("Initialized terminal data");
    term_load_cfg();

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
