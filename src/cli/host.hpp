// host: serving the control socket in the Jexley that holds the storage root (the terminal
// program, or a subcommand running alone). It accepts this user's connections, turns each
// request into a job whose output records go back on the connection, passes answers to it, and
// stops a job whose client went away. It also gathers what the loop waits on (the socket, the
// clients, the keyboard) into one descriptor for the engine's turn, and steps every live job.
// May call: foundation (log), engine (comm: the event queue), control (socket, messages), cli args
// and job.
#pragma once

#include <cstdint>

#include "engine/events.hpp"

// Starts serving jx_internal/control. in_terminal: the jobs run inside the terminal program.
// When the socket cannot be made the reason is logged and the program runs without it.
void cli_host_open(bool in_terminal);
// Takes no more connections (the socket is removed); those taken are served on.
void cli_host_unlisten();
// Stops the clients' jobs (each told why), removes the socket, closes every descriptor.
void cli_host_close();
// The descriptor the engine's turn waits on: readable when a connection, a request, an answer or
// (when keyboard_fd >= 0) a key is waiting. keyboard_fd itself while nothing is served.
int cli_host_wake_fd(int keyboard_fd);
// One turn's work after the engine's events were handed over: connections taken, requests and
// answers read, every live job stepped, output written, clients whose job ended let go.
void cli_host_turn();
// An engine event, before it is freed: every live job sees it.
void cli_host_event(const JXEvent* ev);
// How long the loop may sleep before a job's next step is due; -1: no limit of the jobs'.
int64_t cli_host_wait_us();
