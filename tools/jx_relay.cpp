// jx_relay: a wire that delays, reorders and repeats, for the fault tests. It joins two network
// interfaces like a bridge with two ports, taking every Ethernet frame that arrives on one and
// sending it out of the other after a random delay, so frames overtake each other; a share of the
// frames goes out twice, each copy with a delay of its own. Addresses are untouched, so the hosts
// on either side see each other as on a plain switch (multicast, broadcast and ARP included).
//
// Usage: jx_relay IF_A IF_B MAX_DELAY_MS DUP_PCT [SEED]
// Prints "relaying" once both interfaces are open, runs until killed, and on SIGTERM prints
// "frames=<n> copies=<n>".
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <queue>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Frame {
    Clock::time_point due;
    int out;  // index of the interface to send on
    std::vector<unsigned char> bytes;
    bool operator>(const Frame& o) const { return due > o.due; }
};

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

// A frame taken from a veth may still wait for its UDP checksum (left to the "hardware"); sent on
// as it is, it would be dropped. A zero checksum means "none" for UDP over IPv4.
void clear_udp_checksum(unsigned char* f, size_t n)
{
    if (n < 14 + 20 || f[12] != 0x08 || f[13] != 0x00 || f[14 + 9] != 17)
        return;
    const size_t udp = 14 + static_cast<size_t>(f[14] & 0x0F) * 4;
    if (n >= udp + 8)
        f[udp + 6] = f[udp + 7] = 0;
}

int open_if(const char* name, int* index)
{
    *index = static_cast<int>(if_nametoindex(name));
    const int s = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (*index == 0 || s < 0)
        return -1;
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(ETH_P_ALL);
    a.sll_ifindex = *index;
    // Frames for the hosts behind the relay carry their addresses, not ours.
    packet_mreq m{};
    m.mr_ifindex = *index;
    m.mr_type = PACKET_MR_PROMISC;
    // A transfer's bursts must wait here, not be dropped: the faults are the relay's to choose.
    const int rcvbuf = 16 << 20;
    (void)setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        setsockopt(s, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
        close(s);
        return -1;
    }
    return s;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s IF_A IF_B MAX_DELAY_MS DUP_PCT [SEED]\n", argv[0]);
        return 2;
    }
    int index[2];
    const int sock[2] = {open_if(argv[1], &index[0]), open_if(argv[2], &index[1])};
    if (sock[0] < 0 || sock[1] < 0) {
        std::perror("jx_relay: interface");
        return 1;
    }
    const long max_us = std::atol(argv[3]) * 1000;
    const int dup_pct = std::atoi(argv[4]);
    std::mt19937 rng(argc > 5 ? static_cast<unsigned>(std::atol(argv[5])) : std::random_device{}());
    std::uniform_int_distribution<long> delay(0, max_us);
    std::uniform_int_distribution<int> pct(0, 99);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::printf("relaying\n");
    std::fflush(stdout);

    std::priority_queue<Frame, std::vector<Frame>, std::greater<>> queue;
    unsigned long frames = 0;
    unsigned long copies = 0;
    std::vector<unsigned char> buf(65536);
    while (g_stop == 0) {
        long wait_us = 100000;
        if (!queue.empty()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(queue.top().due - Clock::now());
            wait_us = left.count() < 0 ? 0 : static_cast<long>(left.count());
        }
        const timespec wait{wait_us / 1000000, (wait_us % 1000000) * 1000};
        pollfd p[2] = {{sock[0], POLLIN, 0}, {sock[1], POLLIN, 0}};
        if (ppoll(p, 2, &wait, nullptr) < 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if ((p[i].revents & POLLIN) == 0)
                continue;
            sockaddr_ll from{};
            socklen_t flen = sizeof from;
            const ssize_t n = recvfrom(sock[i], buf.data(), buf.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &flen);
            // What we sent ourselves shows up again as outgoing.
            if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING)
                continue;
            frames++;
            clear_udp_checksum(buf.data(), static_cast<size_t>(n));
            const int times = pct(rng) < dup_pct ? 2 : 1;
            copies += static_cast<unsigned long>(times - 1);
            for (int k = 0; k < times; k++)
                queue.push({Clock::now() + std::chrono::microseconds(delay(rng)), 1 - i,
                            std::vector<unsigned char>(buf.begin(), buf.begin() + n)});
        }
        while (!queue.empty() && queue.top().due <= Clock::now()) {
            const Frame& f = queue.top();
            sockaddr_ll to{};
            to.sll_family = AF_PACKET;
            to.sll_ifindex = index[f.out];
            to.sll_halen = ETH_ALEN;
            (void)sendto(sock[f.out], f.bytes.data(), f.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to);
            queue.pop();
        }
    }
    std::printf("frames=%lu copies=%lu\n", frames, copies);
    return 0;
}
