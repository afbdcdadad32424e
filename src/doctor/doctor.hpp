// doctor: `jexley --doctor`, the answer to "I can't see my colleague", printed on standard output
// before the terminal is touched: interfaces, multicast and broadcast routes, the two UDP ports and
// who holds them, the storage root, firewall rules, and a silent listen for the beacons of other
// hosts. It sends nothing, claims no storage root, opens no log and draws nothing. One file per
// check (checks.hpp); this header is what the program and its commands use.
// May call: foundation (netif, ipv4, utility), protocol (decoding beacons, the ports) and storage
// (root search, lock holder); never the engine or the terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// How long the doctor listens: a little more than one beacon interval, so every host joined to a
// group or to the broadcast network is heard at least once.
inline constexpr int DOCTOR_LISTEN_S = 12;

// Runs every check and the listen, writing findings (each with a one-line hint) to out; a countdown
// is drawn on it while listening when it is a terminal. 1 when a finding failed, else 0.
int doctor_run(const char* argv0, FILE* out);

// 0 when this host has a route for dst (network order), else the errno that stands in the way
// (ENETUNREACH without one).
int doctor_route_err(uint32_t dst);

// The rules of an `nft list ruleset` text that stop UDP traffic to port 8855 or 8856 on this
// host: drop or reject rules whose destination port (number, range, set, or "!=" of them) covers
// either port or that match all UDP, and input or output chains whose policy drops and that accept
// neither port. One line per finding: "table <family> <name>, chain <name> (<hook>): <rule>".
std::vector<std::string> doctor_nft_drops(const std::string& ruleset);
