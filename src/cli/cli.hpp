// cli: `jexley VERB ...`, the subcommands without a screen. Parses the command line, then either
// runs the command alone (an engine of its own on the storage root, keeping conversations in the
// message store as the terminal program does and serving the control socket for other
// subcommands meanwhile, until the command ends or Ctrl-C/SIGTERM stops it; then it stops
// listening and serves the commands it took until they end, answers a lost last fin while its
// uploader still asks, and leaves the networks it joined) or, when another Jexley holds the root,
// through that one's control socket. Also what every program on a root loads at start: the saved
// user name.
// May call: foundation, storage (fso), engine (comm, turn, events, downloads, transfers), control,
// cli args, job, journal, printer, host, client.
#pragma once

#include <cstdio>

// argv[0] is the verb. explain(argv0, out) says why the engine could not start on the root. The
// exit status: 0 done, 1 not done, 2 usage error, 3 storage root unusable.
int cli_main(int argc, char** argv, const char* argv0, void (*explain)(const char* argv0, FILE* out));
// Loads the saved username into the engine; with none saved yet the generated one is saved, so
// peers see the same user after a restart rather than one leaving and a stranger joining.
void cli_load_username();
