// jx_internal/networks: the networks the terminal program joined and the channel opened last, so
// the next start can join them again. A small text file, replaced whole on every change.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/ipv4.hpp"
#include "foundation/log.hpp"
#include "foundation/safe_file.hpp"
#include "storage/fso.hpp"

namespace {

constexpr char NETWORKS_NAME[] = "networks";
// Longer lines are no lines of ours; more lines than this are not read.
constexpr size_t LINE_MAX = 64;
constexpr size_t LINES_MAX = 4 * JX_SAVED_NETS_MAX;

bool parse_addr(const char* text, uint32_t* addr)
{
    if (ipv4_check(text) != 0)
        return false;
    *addr = inet_addr(text);
    return true;
}

}  // namespace

void jx_fso_read_networks(JXSavedNets* saved)
{
    *saved = JXSavedNets{};
    // Only a file of ours, as for every file kept across runs: never one planted in its place.
    JXSafeWhy why{};
    const int fd = jx_safe_open_kept(jx_fso_dir_fd(FSO_DIR_INTERNAL), NETWORKS_NAME, O_RDONLY, false, &why);
    FILE* f = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (f == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    char line[LINE_MAX];
    for (size_t n = 0; n < LINES_MAX && std::fgets(line, sizeof line, f) != nullptr; n++) {
        char a[LINE_MAX] = {}, b[LINE_MAX] = {};
        uint32_t net = 0, peer = 0;
        if (std::sscanf(line, "net %15s", a) == 1 && parse_addr(a, &net)) {
            if (saved->count < JX_SAVED_NETS_MAX)
                saved->nets[saved->count++] = net;
        } else if (std::sscanf(line, "last %15s %15s", a, b) == 2 && parse_addr(a, &net) && parse_addr(b, &peer)) {
            saved->last_net = net;
            saved->last_peer = peer;
        }
    }
    std::fclose(f);
}

uint8_t jx_fso_store_networks(const JXSavedNets* saved)
{
    std::string data;
    for (size_t i = 0; i < saved->count && i < JX_SAVED_NETS_MAX; i++)
        data += std::string("net ") + jx_ip_str(saved->nets[i]).s + "\n";
    if (saved->last_net != 0)
        data += std::string("last ") + jx_ip_str(saved->last_net).s + " " + jx_ip_str(saved->last_peer).s + "\n";
    // Replaced whole: a crash leaves the old file or the new one, never a link written through.
    JXSafeWhy why{};
    const int fd = jx_safe_replace(jx_fso_dir_fd(FSO_DIR_INTERNAL), NETWORKS_NAME, data.data(), data.size(), &why);
    if (fd < 0) {
        jx_log("Could not write %s%s", fso.internal_path, NETWORKS_NAME);
        return 1;
    }
    close(fd);
    return 0;
}
