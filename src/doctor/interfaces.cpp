// Interfaces and addresses: which interfaces are up, which take multicast, and whether any besides
// loopback has an address.
#include <net/if.h>

#include "doctor/checks.hpp"

void doctor_check_interfaces(DoctorReport* r, const JXNetif* ifs, size_t n)
{
    fprintf(r->out, "Interfaces and addresses\n");
    size_t lan = 0;
    for (size_t k = 0; k < n; k++) {
        const JXNetif& f = ifs[k];
        const bool up = (f.flags & IFF_UP) != 0 && (f.flags & IFF_RUNNING) != 0;
        std::string what = doctor_clean(f.name, 15) + " " + doctor_ip(f.addr) + "/" +
                           std::to_string(jx_netif_prefix(f.mask));
        what += up ? ", up" : ", down";
        if ((f.flags & IFF_LOOPBACK) != 0) {
            doctor_finding(r, "info", what + ", loopback", "");
            continue;
        }
        if (!up) {
            doctor_finding(r, "warn", what,
                           "no traffic passes a down interface: ip link set " + doctor_clean(f.name, 15) +
                               " up");
        } else if ((f.flags & IFF_MULTICAST) == 0) {
            doctor_finding(r, "warn", what + ", no multicast",
                           "groups do not work on it; the broadcast network 255.255.255.255 may");
            lan++;
        } else {
            doctor_finding(r, "ok", what + ", multicast", "");
            lan++;
        }
    }
    if (lan == 0)
        doctor_finding(r, "FAIL", "no interface with an IPv4 address is up besides loopback",
                       "connect to the LAN (cable, Wi-Fi) and get an address, then try again");
}
