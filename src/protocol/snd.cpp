#include "protocol/snd.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "foundation/log.hpp"
#include "foundation/random.hpp"
#include "protocol/protocol.hpp"

uint8_t snd_udp(int sock, uint32_t addr, uint16_t port, const uint8_t* dgram, size_t len)
{
    if (len > JX_DATAGRAM_MAX) {
        jx_log("UDP payload exceeds config limits!");
        return 1;
    }
    if (port == 0) {
        jx_log("Computed dst port to 0, error!");
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = addr;
    const ssize_t sent = sendto(sock, dgram, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (sent < 0 || static_cast<size_t>(sent) != len) {
        const int err = errno;
        jx_log("Error in sending data - %d", err);
        if (sent < 0)
            jx_log_errno(err);
        return 1;
    }
    return 0;
}

uint32_t get_msg_id_4srlz()
{
    // Never 0; unpredictable, so that no one can take an id of ours ahead into the duplicate window.
    return jx_random_below(4294967295U) + 1U;
}
