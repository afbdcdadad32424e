// The firewall: the rules of `nft list ruleset` that would stop Jexley's ports, read by a small
// parser of the ruleset's text (tested on its own) from the nft the system has.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>

#include "doctor/checks.hpp"
#include "doctor/doctor.hpp"
#include "protocol/protocol.hpp"

namespace {

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
                                "): " + doctor_clean(line.c_str() + start, 300));
        }
    }
    return found;
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

}  // namespace

void doctor_check_firewall(DoctorReport* r)
{
    fprintf(r->out, "Firewall\n");
    std::string text;
    const int status = run_nft(&text);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) == 127) {
        doctor_finding(r, "info",
                       "cannot tell: nft is not installed (looked for /usr/sbin/nft and /sbin/nft)",
                       "rules made with legacy iptables are not read; check them with: iptables -S");
        return;
    }
    if (WEXITSTATUS(status) != 0) {
        const std::string first = text.substr(0, text.find('\n'));
        doctor_finding(r, "info",
                       "cannot tell: nft list ruleset failed (" + doctor_clean(first.c_str(), 200) + ")",
                       "run the doctor as root to read the firewall rules");
        return;
    }
    const std::vector<std::string> drops = doctor_nft_drops(text);
    for (const std::string& d : drops)
        doctor_finding(r, "FAIL", d,
                       "Jexley needs UDP 8855 and 8856 both ways: remove the rule or accept them before it");
    if (drops.empty())
        doctor_finding(r, "ok", "no nftables rule drops UDP 8855 or 8856", "");
}
