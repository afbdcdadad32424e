#include "terminal/doctor.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <sstream>

#include "engine/comm.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/netif.hpp"
#include "foundation/utility.hpp"
#include "protocol/protocol.hpp"
#include "storage/fso.hpp"

namespace {

// The predefined LAN groups 239.0.0.0 to 239.0.0.254 and the broadcast network.
constexpr uint32_t GROUP_FIRST = 0xEF000000;  // host order
constexpr uint32_t GROUP_COUNT = 255;
constexpr uint32_t PROBE_GROUP = 0xEF000001;

struct Report {
    FILE* out;
    bool failed = false;
};

// One finding and its hint. Everything shown went through jx_str_sanitize where it came from
// outside the program (names, rules, paths).
void finding(Report* r, const char* tag, const std::string& what, const std::string& hint)
{
    if (strcmp(tag, "FAIL") == 0)
        r->failed = true;
    fprintf(r->out, "  [%-4s] %s\n", tag, what.c_str());
    if (!hint.empty())
        fprintf(r->out, "         hint: %s\n", hint.c_str());
}

std::string clean(const char* s, size_t max = 1024)
{
    std::string out(max + 1, '\0');
    out.resize(jx_str_sanitize(s, max, out.data(), out.size()));
    return out;
}

// "is a symbolic link", "is owned by another user (uid 65534)", "cannot be used (...)"...
std::string why_text(const JXSafeWhy& why)
{
    char text[128];
    jx_safe_why_str(&why, text, sizeof text);
    return why.what == JX_SAFE_ERRNO ? std::string("cannot be used (") + text + ")" : text;
}

std::string ip(uint32_t addr)
{
    return jx_ip_str(addr).s;
}

// ---- Interfaces and routes ----------------------------------------------------------------------

struct Route {
    bool found = false;
    std::string dev;
    uint32_t dest = 0;
    int prefix = 0;
};

// Longest-prefix match for dst (network order) in the main routing table.
Route route_for(uint32_t dst)
{
    Route best;
    FILE* f = fopen("/proc/net/route", "r");
    if (f == nullptr)
        return best;
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
        char dev[64];
        unsigned dest = 0, gw = 0, flags = 0, refcnt = 0, use = 0, metric = 0, mask = 0;
        // The kernel prints each address as the hex of its network-order value.
        if (sscanf(line, "%63s %x %x %x %u %u %u %x", dev, &dest, &gw, &flags, &refcnt, &use, &metric,
                   &mask) != 8)
            continue;
        const int prefix = jx_netif_prefix(mask);
        if ((flags & 1) == 0 || (dst & mask) != dest || (best.found && prefix <= best.prefix))
            continue;  // 1: RTF_UP
        best = Route{true, clean(dev, 63), dest, prefix};
    }
    fclose(f);
    return best;
}

// The source address the system would send from to dst, or the errno that prevents sending.
int source_for(uint32_t dst, uint32_t* src)
{
    const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0)
        return errno;
    const int on = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(JX_PORT);
    a.sin_addr.s_addr = dst;
    socklen_t len = sizeof a;
    int err = 0;
    if (connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        err = errno;
    close(s);
    *src = a.sin_addr.s_addr;
    return err;
}

void check_interfaces(Report* r, const JXNetif* ifs, size_t n)
{
    fprintf(r->out, "Interfaces and addresses\n");
    size_t lan = 0;
    for (size_t k = 0; k < n; k++) {
        const JXNetif& f = ifs[k];
        const bool up = (f.flags & IFF_UP) != 0 && (f.flags & IFF_RUNNING) != 0;
        std::string what =
            clean(f.name, 15) + " " + ip(f.addr) + "/" + std::to_string(jx_netif_prefix(f.mask));
        what += up ? ", up" : ", down";
        if ((f.flags & IFF_LOOPBACK) != 0) {
            finding(r, "info", what + ", loopback", "");
            continue;
        }
        if (!up) {
            finding(r, "warn", what,
                    "no traffic passes a down interface: ip link set " + clean(f.name, 15) + " up");
        } else if ((f.flags & IFF_MULTICAST) == 0) {
            finding(r, "warn", what + ", no multicast",
                    "groups do not work on it; the broadcast network 255.255.255.255 may");
            lan++;
        } else {
            finding(r, "ok", what + ", multicast", "");
            lan++;
        }
    }
    if (lan == 0)
        finding(r, "FAIL", "no interface with an IPv4 address is up besides loopback",
                "connect to the LAN (cable, Wi-Fi) and get an address, then try again");
}

// True when there is a route; no_route is the tag of its absence ("warn" where another way works).
bool check_route(Report* r, const char* what, uint32_t dst, const JXNetif* ifs, size_t n,
                 const char* no_route = "FAIL")
{
    uint32_t src = 0;
    const int err = source_for(dst, &src);
    const Route rt = route_for(dst);
    if (err != 0) {
        finding(r, no_route, std::string("no route for ") + what + " (" + strerror(err) + ")",
                std::string("add one on the LAN interface, e.g. ip route add ") +
                    (dst == htonl(PROBE_GROUP) ? "224.0.0.0/4" : "default") + " dev eth0");
        return false;
    }
    std::string dev = rt.dev;
    bool loop = false;
    for (size_t k = 0; k < n; k++) {
        if (ifs[k].addr == src) {
            if (dev.empty())
                dev = clean(ifs[k].name, 15);
            loop = (ifs[k].flags & IFF_LOOPBACK) != 0;
        }
    }
    const std::string by = rt.found && rt.prefix > 0
                               ? "route " + ip(rt.dest) + "/" + std::to_string(rt.prefix)
                               : std::string("the default route");
    const std::string line =
        std::string(what) + " leaves by " + (dev.empty() ? "?" : dev) + " from " + ip(src) + " (" + by + ")";
    if (loop || src == htonl(INADDR_LOOPBACK)) {
        finding(r, "FAIL", line, "only this host hears it: route it by the LAN interface instead");
        return false;
    }
    if ((!rt.found || rt.prefix == 0) && dst != htonl(INADDR_BROADCAST))
        finding(
            r, "warn", line,
            "with several interfaces, make sure it is the LAN's, or add: ip route add 224.0.0.0/4 dev <lan>");
    else
        finding(r, "ok", line, "");
    return true;
}

// ---- Ports --------------------------------------------------------------------------------------

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
            h.name = clean(comm, 63);
        }
    }
    closedir(proc);
    return h;
}

void check_ports(Report* r)
{
    fprintf(r->out, "UDP ports\n");
    for (uint16_t port : {JX_PORT, JX_DATA_PORT}) {
        const std::string p = "UDP " + std::to_string(port);
        if (!doctor_port_busy(port)) {
            finding(r, "ok", p + " is free", "");
            continue;
        }
        const Holder h = port_holder(port);
        if (h.pid == 0) {
            finding(r, "warn", p + " is held by a process that cannot be told",
                    "run the doctor as root to see which; if it is no Jexley, Jexley cannot start here");
        } else if (h.name.rfind("jexley", 0) == 0 || h.name.rfind("jx_", 0) == 0) {
            finding(r, "info", p + " is held by " + h.name + " (pid " + std::to_string(h.pid) + ")",
                    "a Jexley runs on this host; a second one cannot start beside it");
        } else {
            finding(r, "FAIL", p + " is held by " + h.name + " (pid " + std::to_string(h.pid) + ")",
                    "Jexley cannot start while it is: stop that program or move it to another port");
        }
    }
}

// ---- Storage root -------------------------------------------------------------------------------

void check_storage(Report* r, const char* argv0)
{
    fprintf(r->out, "Storage root\n");
    // The doctor makes nothing: a root a start would make is reported as such.
    if (jx_fso_init(argv0, false) != 0) {
        char dir[JX_FSO_PATH_SIZE];
        JXSafeWhy why{};
        const bool unusable = jx_fso_unusable_root(argv0, dir, &why);
        if (!unusable && jx_fso_first_use_root(argv0, dir))
            finding(r, "info", "no storage root yet: Jexley makes " + clean(dir) + " when it starts",
                    jx_fso_home_env() != nullptr ? "JEXLEY_HOME names it"
                                                 : "JEXLEY_HOME names another; a jx_internal/ beside the program is used first");
        else if (!unusable)
            finding(r, "FAIL", "no storage root: no writable jx_internal/ beside the program or on PATH",
                    "scripts/run.sh prepares one, or: mkdir -p -m 700 <dir>/jx_internal next to the program");
        else if (why.what == JX_SAFE_ERRNO)
            finding(r, "FAIL",
                    "storage root " + clean(dir) + " found, but its jx_internal/ is not writable (" +
                        strerror(why.err) + ")",
                    "make it writable for this user, or start Jexley from another root");
        else
            finding(r, "FAIL", "storage root " + clean(dir) + " found, but its jx_internal/ " + why_text(why),
                    "Jexley uses only a directory of its own user (or root) that no one else can write");
        return;
    }
    const std::string root = clean(fso.root_path[0] != '\0' ? fso.root_path : "/");
    JXFsoHolder h{};
    if (jx_fso_lock_holder(&h))
        finding(r, "info",
                root + " is in use by Jexley process " + std::to_string(h.pid) + " on host " +
                    clean(h.host, 255),
                "one root serves one Jexley at a time; start a second one from another root");
    else
        finding(r, "ok", root + ", jx_internal/ writable", "");
    for (const char* sub : {"msg", "downloads"}) {
        const JXSafeWhy why = jx_fso_dir_state(sub);
        const std::string d = root + "/" + sub + "/";
        if (why.what == JX_SAFE_OK)
            finding(r, "ok", d + " writable", "");
        else if (why.what == JX_SAFE_ERRNO && why.err == ENOENT)
            finding(r, "info", d + " is missing", "Jexley makes it when it starts");
        else
            finding(r, "FAIL", d + " " + why_text(why), "Jexley will not start until it can use it");
    }
    jx_fso_close();
}

// ---- Firewall -----------------------------------------------------------------------------------

using Tokens = std::vector<std::string>;

Tokens tokens(std::string line)
{
    // A comment may hold anything, "drop" too.
    if (size_t c = line.find(" comment \""); c != std::string::npos)
        line.erase(c);
    std::string spaced;
    for (char ch : line) {
        if (ch == '{' || ch == '}' || ch == ',' || ch == ';')
            spaced += std::string(" ") + ch + " ";
        else
            spaced += ch;
    }
    Tokens t;
    std::istringstream in(spaced);
    for (std::string w; in >> w;)
        t.push_back(w);
    return t;
}

bool has(const Tokens& t, const char* w)
{
    for (const std::string& x : t)
        if (x == w)
            return true;
    return false;
}

bool in_items(const Tokens& items, uint16_t port)
{
    for (const std::string& it : items) {
        unsigned lo = 0, hi = 0;
        const int n = sscanf(it.c_str(), "%u-%u", &lo, &hi);
        if ((n == 1 && lo == port) || (n == 2 && lo <= port && port <= hi))
            return true;
    }
    return false;
}

using Sets = std::map<std::string, Tokens>;

// Whether the port match starting at t[i] (after "dport"/"sport") takes port. A set the ruleset
// does not show is taken as matching.
bool port_match(const Tokens& t, size_t i, uint16_t port, const Sets& sets)
{
    bool neg = false;
    if (i < t.size() && t[i] == "!=") {
        neg = true;
        i++;
    }
    if (i >= t.size())
        return false;
    Tokens items;
    if (t[i] == "{") {
        for (i++; i < t.size() && t[i] != "}"; i++)
            if (t[i] != ",")
                items.push_back(t[i]);
    } else if (t[i][0] == '@') {
        const auto s = sets.find(t[i].substr(1));
        if (s == sets.end())
            return true;
        items = s->second;
    } else {
        items.push_back(t[i]);
    }
    return in_items(items, port) != neg;
}

// Which of our ports a UDP rule matches: bit 0 for 8855, bit 1 for 8856.
unsigned rule_ports(const Tokens& t, const Sets& sets)
{
    if (has(t, "tcp") || has(t, "icmp") || has(t, "sctp"))
        return 0;
    unsigned bits = 0;
    bool port_rule = false;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] != "dport" && t[i] != "sport")
            continue;
        port_rule = true;
        if (port_match(t, i + 1, JX_PORT, sets))
            bits |= 1;
        if (port_match(t, i + 1, JX_DATA_PORT, sets))
            bits |= 2;
    }
    return port_rule ? bits : has(t, "udp") ? 3 : 0;
}

}  // namespace

std::vector<std::string> doctor_nft_drops(const std::string& ruleset)
{
    std::vector<std::string> found;
    std::istringstream in(ruleset);
    std::vector<std::string> open;  // kinds of the blocks open around the line: table, chain, set...
    std::string table, chain, hook, set_name;
    bool policy_drop = false, in_elements = false;
    unsigned accepted = 0;  // the ports the open chain accepts
    Sets sets;
    for (std::string line; std::getline(in, line);) {
        const Tokens t = tokens(line);
        if (t.empty())
            continue;
        const std::string top = open.empty() ? "" : open.back();
        if (t[0] == "}") {
            if (top == "chain" && policy_drop && hook != "forward" && accepted != 3)
                found.push_back(table + ", chain " + chain + " (" + hook +
                                "): policy drop, and no rule accepts UDP " +
                                std::to_string((accepted & 1) != 0 ? JX_DATA_PORT : JX_PORT));
            if (!open.empty())
                open.pop_back();
            continue;
        }
        if (t.back() == "{" && t.size() >= 3) {
            open.push_back(t[0]);
            if (t[0] == "table") {
                table = "table " + t[1] + " " + t[2];
                sets.clear();
            }
            chain = set_name = t[1];
            hook = "regular chain";
            policy_drop = in_elements = false;
            accepted = 0;
        } else if (top == "set" || top == "map") {
            size_t i = 0;
            for (; !in_elements && i + 1 < t.size(); i++)
                in_elements = t[i] == "elements" && t[i + 1] == "=";
            for (; in_elements && i < t.size(); i++) {
                if (t[i] == "}")
                    in_elements = false;
                else if (t[i] != "{" && t[i] != "," && t[i] != "=")
                    sets[set_name].push_back(t[i]);
            }
        } else if (top == "chain" && t[0] == "type") {
            for (size_t i = 0; i + 1 < t.size(); i++) {
                if (t[i] == "hook")
                    hook = t[i + 1];
                if (t[i] == "policy" && t[i + 1] == "drop")
                    policy_drop = true;
            }
        } else if (top == "chain") {
            const unsigned ports = rule_ports(t, sets);
            const size_t start = line.find_first_not_of(" \t");
            if (has(t, "accept"))
                accepted |= ports;
            else if (ports != 0 && (has(t, "drop") || has(t, "reject")) && hook != "forward")
                found.push_back(table + ", chain " + chain + " (" + hook +
                                "): " + clean(line.c_str() + start, 300));
        }
    }
    return found;
}

bool doctor_port_busy(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool busy = bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    close(s);
    return busy;
}

namespace {

// Where nft is looked for. The doctor is run as root, so it never takes a program from the
// caller's PATH, where anyone could have put one of that name.
constexpr const char* NFT_PATHS[] = {"/usr/sbin/nft", "/sbin/nft"};

// Runs `nft list ruleset` from a fixed path with a fixed environment; its output (stdout and
// stderr) into text. The wait status, or -1 when no nft was found or it could not be started.
int run_nft(std::string* text)
{
    const char* nft = nullptr;
    for (const char* p : NFT_PATHS) {
        struct stat st {};
        if (stat(p, &st) == 0 && S_ISREG(st.st_mode) && access(p, X_OK) == 0) {
            nft = p;
            break;
        }
    }
    int fds[2];
    if (nft == nullptr || pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        char* const argv[] = {const_cast<char*>(nft), const_cast<char*>("list"), const_cast<char*>("ruleset"),
                              nullptr};
        char* const envp[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                              const_cast<char*>("LC_ALL=C"), nullptr};
        if (dup2(fds[1], STDOUT_FILENO) >= 0 && dup2(fds[1], STDERR_FILENO) >= 0)
            execve(nft, argv, envp);
        _exit(127);
    }
    close(fds[1]);
    char buf[4096];
    for (ssize_t n; pid > 0 && (n = read(fds[0], buf, sizeof buf)) > 0 && text->size() < (1u << 24);)
        text->append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = -1;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 ? status : -1;
}

void check_firewall(Report* r)
{
    fprintf(r->out, "Firewall\n");
    std::string text;
    const int status = run_nft(&text);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) == 127) {
        finding(r, "info", "cannot tell: nft is not installed (looked for /usr/sbin/nft and /sbin/nft)",
                "rules made with legacy iptables are not read; check them with: iptables -S");
        return;
    }
    if (WEXITSTATUS(status) != 0) {
        const std::string first = text.substr(0, text.find('\n'));
        finding(r, "info", "cannot tell: nft list ruleset failed (" + clean(first.c_str(), 200) + ")",
                "run the doctor as root to read the firewall rules");
        return;
    }
    const std::vector<std::string> drops = doctor_nft_drops(text);
    for (const std::string& d : drops)
        finding(r, "FAIL", d,
                "Jexley needs UDP 8855 and 8856 both ways: remove the rule or accept them before it");
    if (drops.empty())
        finding(r, "ok", "no nftables rule drops UDP 8855 or 8856", "");
}

// ---- Listening for beacons ----------------------------------------------------------------------

struct Heard {
    char instance[JX_INSTANCE_ID_LEN];
    uint32_t net;
    uint32_t addr;
    uint32_t uptime;
    std::string name;
};

// A socket that gets the datagrams to port 8855 without keeping a Jexley from binding it: a raw
// socket (root only), which sees every UDP datagram with its IP header; else the port shared with
// SO_REUSEADDR/SO_REUSEPORT, which works while no Jexley holds it (one that starts meanwhile
// cannot bind). -1 with err set when neither works.
int listen_socket(bool* raw, int* err)
{
    *raw = true;
    int s = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (s >= 0)
        return s;
    *raw = false;
    s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    *err = errno;
    if (s < 0)
        return -1;
    const int on = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    (void)setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(JX_PORT);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return s;
    *err = errno;
    close(s);
    return -1;
}

// Joins every predefined group. A socket takes only so many memberships (20 by default), so they
// are spread over as many sockets as needed; none of them is read. 0, or the errno of a refusal.
int join_groups(std::vector<int>* holders)
{
    int s = -1;
    for (uint32_t g = 0; g < GROUP_COUNT; g++) {
        ip_mreq m{};
        m.imr_multiaddr.s_addr = htonl(GROUP_FIRST + g);
        m.imr_interface.s_addr = htonl(INADDR_ANY);
        for (int attempt = 0;; attempt++) {
            if (s < 0 && (s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) >= 0)
                holders->push_back(s);
            if (s < 0)
                return errno;
            if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0)
                break;
            if (errno != ENOBUFS || attempt > 0)
                return errno;
            s = -1;  // full: the next socket takes the rest
        }
    }
    return 0;
}

// The datagram to port 8855 in buf, or null: for a raw socket past the IP and UDP headers.
const uint8_t* jexley_datagram(const uint8_t* buf, size_t n, bool raw, uint32_t* src, size_t* len)
{
    if (!raw) {
        *len = n;
        return buf;
    }
    if (n < 20 || (buf[0] >> 4) != 4 || buf[9] != IPPROTO_UDP)
        return nullptr;
    const size_t ihl = static_cast<size_t>(buf[0] & 0x0f) * 4;
    if (ihl < 20 || n < ihl + 8 || jx_get_be16(buf + ihl + 2) != JX_PORT)
        return nullptr;
    const size_t udp_len = jx_get_be16(buf + ihl + 4);
    if (udp_len < 8 || udp_len > n - ihl)
        return nullptr;
    memcpy(src, buf + 12, 4);
    *len = udp_len - 8;
    return buf + ihl + 8;
}

void note_beacon(std::vector<Heard>* heard, const uint8_t* d, size_t len, uint32_t src)
{
    static JXPacket pkt;  // 1.5 KB
    if (jx_unserialize(d, len, src, 0, &pkt) != JX_UNSER_OK || pkt.type != PKT_BEACON ||
        pkt.payload_len < JX_BEACON_LEN)
        return;
    const uint8_t* id = pkt.payload + JX_BEACON_OFF_INSTANCE;
    for (Heard& h : *heard) {
        if (memcmp(h.instance, id, JX_INSTANCE_ID_LEN) == 0 && h.net == pkt.net_id) {
            h.uptime = jx_beacon_uptime(pkt.payload);
            return;
        }
    }
    if (heard->size() >= 1024)
        return;  // a flood of made-up instances must not grow the list without bound
    Heard h{};
    memcpy(h.instance, id, JX_INSTANCE_ID_LEN);
    h.net = pkt.net_id;
    h.addr = src;
    h.uptime = jx_beacon_uptime(pkt.payload);
    h.name = clean(pkt.username, JX_HDR_UNAME_LEN);
    heard->push_back(h);
}

void listen_for_beacons(Report* r, int seconds)
{
    fprintf(r->out,
            "Listening %d s for Jexley beacons on 239.0.0.0-239.0.0.254 and 255.255.255.255 "
            "(nothing is sent)\n",
            seconds);
    bool raw = false;
    int err = 0;
    const int s = listen_socket(&raw, &err);
    if (s < 0) {
        finding(r, "warn", std::string("cannot listen on UDP 8855 (") + strerror(err) + ")",
                "a Jexley holds the port; as root the doctor listens beside it");
        return;
    }
    std::vector<int> holders;
    if (const int jerr = join_groups(&holders); jerr != 0)
        finding(r, "warn", std::string("could not join every group (") + strerror(jerr) + ")",
                "without a multicast route no group is heard; broadcast still is");
    const bool tty = isatty(fileno(r->out)) != 0;
    std::vector<Heard> heard;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    static uint8_t buf[65536];
    for (int shown = -1;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        const int secs = static_cast<int>((left.count() + 999) / 1000);
        if (tty && secs != shown) {
            fprintf(r->out, "\r  %2d s left ", secs);
            fflush(r->out);
            shown = secs;
        }
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(s, &rd);
        const long wait_ms = std::min<long>(left.count(), 250);
        timeval tv{0, static_cast<suseconds_t>(wait_ms * 1000)};
        if (select(s + 1, &rd, nullptr, nullptr, &tv) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        const ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n <= 0)
            continue;
        uint32_t src = from.sin_addr.s_addr;
        size_t len = 0;
        if (const uint8_t* d = jexley_datagram(buf, static_cast<size_t>(n), raw, &src, &len); d != nullptr)
            note_beacon(&heard, d, len, src);
    }
    if (tty)
        fprintf(r->out, "\r%14s\r", "");
    close(s);
    for (int h : holders)
        close(h);
    for (const Heard& h : heard) {
        char up[JX_ETA_SIZE];
        jx_sec_to_eta(h.uptime, up);
        const std::string net = h.net == htonl(INADDR_BROADCAST) ? "broadcast 255.255.255.255" : ip(h.net);
        finding(r, "ok",
                "heard " + h.name + " at " + ip(h.addr) + " on " + net + " (online there for " + up + ")",
                "");
    }
    if (heard.empty())
        finding(
            r, "warn", "heard no Jexley",
            "the other one must be joined to a group or to 255.255.255.255, on the same LAN (groups rarely "
            "cross routers), with no firewall dropping UDP 8855");
}

}  // namespace

int doctor_route_err(uint32_t dst)
{
    uint32_t src = 0;
    return source_for(dst, &src);
}

int doctor_run(const char* argv0, FILE* out)
{
    Report r{out};
    fprintf(out, "Jexley doctor: why can't I see my colleague?\n");
    JXNetif ifs[JX_NETIF_MAX];
    const size_t n = jx_netif_list(ifs, JX_NETIF_MAX);
    check_interfaces(&r, ifs, n);
    fprintf(out, "Routes\n");
    // Broadcast without a default route is common on hosts that use groups only: then a warning.
    const bool groups = check_route(&r, "multicast to 239.0.0.1", htonl(PROBE_GROUP), ifs, n);
    check_route(&r, "broadcast to 255.255.255.255", htonl(INADDR_BROADCAST), ifs, n, groups ? "warn" : "FAIL");
    check_ports(&r);
    check_storage(&r, argv0);
    check_firewall(&r);
    listen_for_beacons(&r, DOCTOR_LISTEN_S);
    fprintf(out, r.failed ? "Some checks failed: see the hints above.\n" : "No fault found.\n");
    return r.failed ? 1 : 0;
}
