// jx_peer: scripted peers for the fault tests and benchmarks, speaking the wire protocol from
// addresses of the host it runs on.
//
//   jx_peer crowd NET FIRST COUNT RATE SECONDS
//       COUNT peers on the addresses FIRST, FIRST+1, ... (added to this host beforehand) beacon on
//       the group NET every 11 s, and together send RATE group texts a second, round robin, for
//       SECONDS; once every text is acknowledged (or 10 s later) it prints
//       "texts=<n> acked=<n> ack_ms_max=<ms> ack_ms_mean=<ms> beacons=<n> beacon_gap_max_s=<s>",
//       the last two about the beacons heard from other hosts on NET (the longest gap between
//       two beacons of one host).
//   jx_peer hostile NET SELF TARGET SECONDS [FILE]
//       one peer "mallory" on SELF, beaconing on NET, that first sends TARGET 260 offers with new
//       ids and, among the last of them, offers with hostile names (escape sequences, CR LF, a
//       1023-byte name, each forbidden character, a name length past the payload or of 1024, a
//       NUL inside, chunk size 0), then chunks, batch-dones, answers, requests and fins for
//       transfers that do not exist.
//       For SECONDS it then answers each offer TARGET makes it: an answer, segment requests for
//       absurd sizes, counts and segment numbers, a skipped-chunk request out of turn, then
//       segment 1, segment 2 and a stale copy of the request for segment 1; the chunks that come
//       are compared with FILE (the file offered). Once that is done (or SECONDS have passed) it
//       prints "offers_answered=<n> chunks_ok=<n> chunks_bad=<n>" and ends.
//   jx_peer forge NET TARGET ID
//       sends TARGET what only the peer of transfer ID (16 hex digits) may send: a chunk, a
//       batch-done, a segment request, a skipped request and the three fins, from this host.
//   jx_peer forged ACTION NET FIRST COUNT [TARGET]
//       from COUNT forged source addresses FIRST, FIRST+1, ... (a raw socket; they need not be
//       this host's), each in turn:
//         beacon  a beacon on the group NET;              leave  a leave on NET;
//         cycle   a beacon on NET, a query and a direct text to TARGET, a leave on NET and one
//                 to TARGET: a new peer, channel and private network each time;
//         replay  (FIRST only) a beacon on NET carrying TARGET's instance id, read from one of
//                 TARGET's beacons, from FIRST as if FIRST were TARGET; prints "replayed=1";
//         guard   (FIRST only) a group text and a beacon naming the private network NET in their
//                 header, to TARGET.
//   jx_peer private SELF TARGET
//       asks TARGET from SELF for a private network and, once answered, sends it the direct text
//       "hello from a private peer"; prints "private_acked=<0|1>".
//   jx_peer offerleave NET SELF TARGET NAME
//       peer "leaver" on SELF beacons on NET, offers TARGET the file NAME and, once the offer is
//       answered, leaves NET; prints "offer_answered=<0|1>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "foundation/random.hpp"
#include "foundation/utility.hpp"
#include "jx_peer.hpp"
#include "protocol/data_protocol.hpp"

namespace {

int crowd(uint32_t net, uint32_t first, int count, double rate, double seconds)
{
    std::vector<pollfd> fds;
    for (int i = 0; i < count; i++)
        fds.push_back({bound(htonl(ntohl(first) + static_cast<uint32_t>(i)), JX_PORT), POLLIN, 0});
    fds.push_back({bound(0, JX_PORT, net), POLLIN, 0});  // the group: beacons of the other hosts
    std::map<uint32_t, double> pending;                  // text id -> sent at
    std::map<uint32_t, double> last_beacon;              // host -> heard at
    const double start = now_s();
    double next_text = start;
    long texts = 0, acked = 0, beacons = 0;
    double ack_max = 0, ack_sum = 0, gap_max = 0;
    std::vector<double> next_beacon(static_cast<size_t>(count));
    for (int i = 0; i < count; i++)
        next_beacon[static_cast<size_t>(i)] = start + 0.005 * i;  // the crowd arrives within a second or so
    // After the last text, up to 10 s more for the last acknowledgements.
    while (now_s() < start + seconds || (now_s() < start + seconds + 10 && !pending.empty())) {
        const double now = now_s();
        for (int i = 0; i < count && now < start + seconds; i++) {
            if (now < next_beacon[static_cast<size_t>(i)])
                continue;
            char name[16], instance[JX_INSTANCE_ID_LEN + 1];
            std::snprintf(name, sizeof name, "p%d", i);
            std::snprintf(instance, sizeof instance, "crowd%027d", i);
            beacon(fds[static_cast<size_t>(i)].fd, net, name, static_cast<uint32_t>(now - start), instance);
            next_beacon[static_cast<size_t>(i)] += BEACON_S;
        }
        for (; now < start + seconds && next_text <= now; next_text += 1 / rate, texts++) {
            const int i = static_cast<int>(texts % count);
            char name[16], text[64];
            std::snprintf(name, sizeof name, "p%d", i);
            const int len = std::snprintf(text, sizeof text, "load %ld from %s", texts, name);
            pending[send_pkt(fds[static_cast<size_t>(i)].fd, net, JX_PORT, PKT_TXT_GROUP, net, name, text,
                             static_cast<size_t>(len))] = now;
        }
        if (poll(fds.data(), fds.size(), 2) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++) {
            JXPacket pkt{};
            while ((fds[i].revents & POLLIN) != 0 && receive(fds[i].fd, &pkt)) {
                const uint32_t host = ntohl(pkt.src_addr) - ntohl(first);
                if (pkt.type == PKT_TXT_GROUP_ACK && pending.count(static_cast<uint32_t>(pkt.msg_id)) != 0) {
                    const double ms = (now_s() - pending[static_cast<uint32_t>(pkt.msg_id)]) * 1000;
                    pending.erase(static_cast<uint32_t>(pkt.msg_id));
                    acked++, ack_sum += ms, ack_max = ms > ack_max ? ms : ack_max;
                } else if (pkt.type == PKT_BEACON && host >= static_cast<uint32_t>(count)) {
                    if (last_beacon.count(pkt.src_addr) != 0 && now_s() - last_beacon[pkt.src_addr] > gap_max)
                        gap_max = now_s() - last_beacon[pkt.src_addr];
                    last_beacon[pkt.src_addr] = now_s();
                    beacons++;
                }
            }
        }
    }
    std::printf("texts=%ld acked=%ld ack_ms_max=%.1f ack_ms_mean=%.1f beacons=%ld beacon_gap_max_s=%.1f\n",
                texts, acked, ack_max, acked > 0 ? ack_sum / static_cast<double>(acked) : 0.0, beacons,
                gap_max);
    return 0;
}

int private_chat(uint32_t self, uint32_t target)
{
    const int s = bound(self, 0);
    JXPacket pkt{};
    bool acked = false;
    for (int tries = 0; tries < 10 && !acked; tries++) {
        (void)send_pkt(s, target, JX_PORT, PKT_QUERY, target, "private", nullptr, 0);
        if (!await(s, target, PKT_BEACON, 2, &pkt))
            continue;
        const std::string text = "hello from a private peer";
        (void)send_pkt(s, target, JX_PORT, PKT_TXT_DIRECT, 0, "private", text.data(), text.size());
        acked = await(s, target, PKT_TXT_DIRECT_ACK, 3, &pkt);
    }
    std::printf("private_acked=%d\n", acked ? 1 : 0);
    return acked ? 0 : 1;
}

int offer_and_leave(uint32_t net, uint32_t self, uint32_t target, const char* name)
{
    const int s = bound(self, JX_PORT);
    beacon(s, net, "leaver", 0, "leaver-leaver-leaver-leaver-leav");
    usleep(500000);
    const std::vector<uint8_t> o = offer(name);
    JXPacket pkt{};
    bool answered = false;
    for (int tries = 0; tries < 10 && !answered; tries++) {
        (void)send_pkt(s, target, JX_PORT, PKT_FILE_META, net, "leaver", o.data(), o.size());
        answered = await(s, target, PKT_META_ACK, 1, &pkt);
    }
    (void)send_pkt(s, net, JX_PORT, PKT_LEAVE, net, "leaver", nullptr, 0);
    std::printf("offer_answered=%d\n", answered ? 1 : 0);
    return answered ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    g_next_id = jx_random_below(UINT32_MAX);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    uint8_t id[JX_TRANSFER_ID_LEN];
    if (mode == "crowd" && argc == 7)
        return crowd(addr_of(argv[2]), addr_of(argv[3]), std::atoi(argv[4]), std::atof(argv[5]),
                     std::atof(argv[6]));
    if (mode == "hostile" && (argc == 6 || argc == 7))
        return hostile(addr_of(argv[2]), addr_of(argv[3]), addr_of(argv[4]), std::atof(argv[5]),
                       argc == 7 ? argv[6] : nullptr);
    if (mode == "forge" && argc == 5 && parse_id(argv[4], id)) {
        forge(bound(0, 0), addr_of(argv[2]), addr_of(argv[3]), id, "mallory");
        return 0;
    }
    if (mode == "forged" && (argc == 6 || argc == 7))
        return forged(argv[2], addr_of(argv[3]), addr_of(argv[4]), std::atoi(argv[5]),
                      argc == 7 ? addr_of(argv[6]) : 0);
    if (mode == "private" && argc == 4)
        return private_chat(addr_of(argv[2]), addr_of(argv[3]));
    if (mode == "offerleave" && argc == 6)
        return offer_and_leave(addr_of(argv[2]), addr_of(argv[3]), addr_of(argv[4]), argv[5]);
    std::fprintf(stderr,
                 "usage: %s crowd NET FIRST COUNT RATE SECONDS | hostile NET SELF TARGET SECONDS [FILE] | "
                 "forge NET TARGET ID | forged ACTION NET FIRST COUNT [TARGET] | private SELF TARGET | "
                 "offerleave NET SELF TARGET NAME\n",
                 argv[0]);
    return 2;
}
