// checks: the report every check of the doctor writes, and the checks, one file each: interfaces
// (interfaces.cpp), routes (routes.cpp), ports (ports.cpp), the storage root (storage_root.cpp),
// the firewall (nft.cpp) and the listen for beacons (listener.cpp). Only doctor.cpp runs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/netif.hpp"
#include "foundation/safe_file.hpp"

struct DoctorReport {
    FILE* out;
    bool failed = false;
};

// One finding and its hint (none when empty); tag is "ok", "info", "warn" or "FAIL", and a FAIL
// marks the report failed. Everything shown went through doctor_clean where it came from outside
// the program (names, rules, paths).
void doctor_finding(DoctorReport* r, const char* tag, const std::string& what, const std::string& hint);
// At most max bytes of s with control characters and broken UTF-8 made harmless.
std::string doctor_clean(const char* s, size_t max = 1024);
std::string doctor_ip(uint32_t addr);
// "is a symbolic link", "is owned by another user (uid 65534)", "cannot be used (...)"...
std::string doctor_why_text(const JXSafeWhy& why);

// The groups the listen joins, 239.0.0.0 to 239.0.0.254 (host order), and the one a route is
// probed for.
inline constexpr uint32_t DOCTOR_GROUP_FIRST = 0xEF000000;
inline constexpr uint32_t DOCTOR_GROUP_COUNT = 255;
inline constexpr uint32_t DOCTOR_PROBE_GROUP = 0xEF000001;

void doctor_check_interfaces(DoctorReport* r, const JXNetif* ifs, size_t n);
// The multicast and broadcast routes; a missing broadcast route only warns when groups work.
void doctor_check_routes(DoctorReport* r, const JXNetif* ifs, size_t n);
void doctor_check_ports(DoctorReport* r);
void doctor_check_storage(DoctorReport* r, const char* argv0);
void doctor_check_firewall(DoctorReport* r);
void doctor_listen(DoctorReport* r, int seconds);
