// client: a subcommand run by the Jexley that already holds the storage root. Sends the command
// over jx_internal/control, prints the records that come back as if it ran here, asks the
// questions it is asked on its own terminal and sends the answers, and ends with the status the
// server reports. Ctrl-C closes the connection, which stops the command there.
// May call: foundation, control (socket, messages), cli printer.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "cli/printer.hpp"

// Runs argv (from the verb on) through the control socket. The exit status: the command's; 1
// when it was interrupted (*stop set) or the server went away; 2 when the command is too long for
// one request line; 3 when the server cannot be reached or refuses this user.
int cli_client_run(const std::vector<std::string>& argv, CliPrinter* out, const volatile sig_atomic_t* stop);
