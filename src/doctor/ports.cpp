// Ports: whether UDP 8855 and 8856 are free, and which process holds one that is not.
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "doctor/checks.hpp"
#include "protocol/protocol.hpp"

namespace {

struct Holder {
    long pid = 0;
    std::string name;
};

// Who holds a UDP port: its socket's inode from /proc/net/udp, then the process with a descriptor
// on that inode. pid 0 when it cannot be told (another user's process needs root to be seen).
Holder port_holder(uint16_t port)
{
    Holder h;
    FILE* f = fopen("/proc/net/udp", "r");
    if (f == nullptr)
        return h;
    std::vector<std::string> inodes;
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
        unsigned local_port = 0;
        unsigned long inode = 0;
        if (sscanf(line, " %*u: %*x:%x %*x:%*x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu", &local_port, &inode) ==
                2 &&
            local_port == port && inode != 0)
            inodes.push_back("socket:[" + std::to_string(inode) + "]");
    }
    fclose(f);
    DIR* proc = opendir("/proc");
    if (proc == nullptr || inodes.empty()) {
        if (proc != nullptr)
            closedir(proc);
        return h;
    }
    for (dirent* p = readdir(proc); p != nullptr && h.pid == 0; p = readdir(proc)) {
        char* end = nullptr;
        const long pid = strtol(p->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const std::string fd_dir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (fds == nullptr)
            continue;
        for (dirent* d = readdir(fds); d != nullptr && h.pid == 0; d = readdir(fds)) {
            char target[64] = {};
            const std::string link = fd_dir + "/" + d->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) <= 0)
                continue;
            for (const std::string& i : inodes)
                if (i == target)
                    h.pid = pid;
        }
        closedir(fds);
        if (h.pid != 0) {
            char comm[64] = {};
            FILE* c = fopen((std::string("/proc/") + p->d_name + "/comm").c_str(), "r");
            if (c != nullptr) {
                if (fgets(comm, sizeof comm, c) != nullptr)
                    comm[strcspn(comm, "\n")] = '\0';
                fclose(c);
            }
            h.name = doctor_clean(comm, 63);
        }
    }
    closedir(proc);
    return h;
}

}  // namespace

void doctor_check_ports(DoctorReport* r)
{
    fprintf(r->out, "UDP ports\n");
    for (uint16_t port : {JX_PORT, JX_DATA_PORT}) {
        const std::string p = "UDP " + std::to_string(port);
        if (!jx_netif_port_busy(port)) {
            doctor_finding(r, "ok", p + " is free", "");
            continue;
        }
        const Holder h = port_holder(port);
        if (h.pid == 0) {
            doctor_finding(
                r, "warn", p + " is held by a process that cannot be told",
                "run the doctor as root to see which; if it is no Jexley, Jexley cannot start here");
        } else if (h.name.rfind("jexley", 0) == 0 || h.name.rfind("jx_", 0) == 0) {
            doctor_finding(r, "info", p + " is held by " + h.name + " (pid " + std::to_string(h.pid) + ")",
                           "a Jexley runs on this host; a second one cannot start beside it");
        } else {
            doctor_finding(r, "FAIL", p + " is held by " + h.name + " (pid " + std::to_string(h.pid) + ")",
                           "Jexley cannot start while it is: stop that program or move it to another port");
        }
    }
}
