// ipv4: IPv4 addresses as the program holds them (32-bit values in network byte order) and as
// users type and read them (dotted quads). Pure functions; no state.
// May call: the C library only.
#pragma once

#include <cstdint>

// Dotted form of an address, returned by value so that several can appear in one log call:
// jx_ip_str(a).s
struct JXIpStr {
    char s[16];
};
JXIpStr jx_ip_str(uint32_t addr);

// 0 when text is a strict dotted quad (no leading zeros, no spaces), else 1 (also for null).
uint8_t ipv4_check(const char* text);
bool is_bcast_addr(uint32_t addr);  // 255.255.255.255
bool is_mcast_addr(uint32_t addr);  // 224.0.0.0/4
