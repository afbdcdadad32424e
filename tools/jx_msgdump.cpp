// jx_msgdump: reads every channel file of a storage root back through the message store, as the
// channel screen does, for the crash tests: a file that cannot be read shows up here.
//
// Usage: jx_msgdump ROOT
// Prints for each file of ROOT/msg (names with a '.' are no channel files: temporary or set-aside
// copies) "FILE <name> last=<n> count=<n> capacity=<n>", then for each slot that holds a message
// "SLOT <name> <pos> type=<t> id=<id> addr=<a> time=<s> user=<name> text=<text>" (control
// characters shown as '?'). Exit status 1 when a header or a slot could not be read, or a slot
// the header counts is empty.
#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/ipv4.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"

namespace {

std::string clean(const char* s, size_t max)
{
    std::string out(max + 1, '\0');
    out.resize(jx_str_sanitize(s, max, out.data(), out.size()));
    return out;
}

// The slots that hold messages are the `count` newest, going back from `last`.
bool counted(uint64_t pos, uint64_t last, uint64_t count, uint64_t capacity)
{
    const uint64_t age = (last + capacity - pos) % capacity;  // 0 for the newest
    return age < count;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ROOT\n", argv[0]);
        return 2;
    }
    std::snprintf(fso.root_path, sizeof fso.root_path, "%s", argv[1]);
    const std::string dir = std::string(argv[1]) + "/msg";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        std::perror(dir.c_str());
        return 1;
    }
    int status = 0;
    while (const dirent* e = readdir(d)) {
        if (std::strchr(e->d_name, '.') != nullptr)
            continue;
        uint64_t h[3] = {};
        if (jx_fso_read_file_header(h, e->d_name) != 0) {
            std::printf("BAD %s header\n", e->d_name);
            status = 1;
            continue;
        }
        std::printf("FILE %s last=%llu count=%llu capacity=%llu\n", e->d_name,
                    static_cast<unsigned long long>(h[0]), static_cast<unsigned long long>(h[1]),
                    static_cast<unsigned long long>(h[2]));
        for (uint64_t pos = 1; pos <= h[2]; pos++) {
            static JXStoredMsg m;
            const uint8_t rc = jx_fso_read_msg(static_cast<uint16_t>(pos), e->d_name, &m);
            if (rc != 0 || (m.type == 0 && counted(pos, h[0], h[1], h[2]))) {
                std::printf("BAD %s slot %llu rc=%u type=%u\n", e->d_name,
                            static_cast<unsigned long long>(pos), rc, m.type);
                status = 1;
            }
            if (rc != 0 || m.type == 0)
                continue;
            std::printf("SLOT %s %llu type=%u id=%llu addr=%s time=%llu user=%s text=%s\n", e->d_name,
                        static_cast<unsigned long long>(pos), m.type, static_cast<unsigned long long>(m.id),
                        jx_ip_str(m.addr).s, static_cast<unsigned long long>(m.time),
                        clean(m.username, sizeof m.username).c_str(), clean(m.text, sizeof m.text).c_str());
        }
    }
    closedir(d);
    return status;
}
