// The sending primitive against real loopback sockets (ephemeral ports only) and the message ids.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "foundation/log.hpp"
#include "protocol/protocol.hpp"
#include "protocol/snd.hpp"

TEST(SndUdp, SendsWholeDatagramsAndRefusesOversizePortZeroAndBadSockets)
{
    char tmpl[] = "/tmp/jx_snd_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    ASSERT_EQ(jx_log_init(tmpl), 0);
    const int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    socklen_t alen = sizeof(a);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&a), &alen), 0);
    const uint16_t port = ntohs(a.sin_port);

    std::vector<uint8_t> dgram(JX_DATAGRAM_MAX + 1), got(2048);
    // Length of the next datagram waiting on rx, or -1 after a short wait.
    auto receive = [&] {
        pollfd pfd{rx, POLLIN, 0};
        return poll(&pfd, 1, 500) > 0 ? recv(rx, got.data(), got.size(), 0) : -1;
    };
    for (size_t i = 0; i < dgram.size(); i++)
        dgram[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(snd_udp(tx, a.sin_addr.s_addr, port, dgram.data(), JX_DATAGRAM_MAX), 0);
    EXPECT_EQ(receive(), static_cast<ssize_t>(JX_DATAGRAM_MAX));
    EXPECT_EQ(std::memcmp(got.data(), dgram.data(), JX_DATAGRAM_MAX), 0);

    EXPECT_EQ(snd_udp(tx, a.sin_addr.s_addr, port, dgram.data(), JX_DATAGRAM_MAX + 1), 1);
    EXPECT_EQ(snd_udp(tx, a.sin_addr.s_addr, 0, dgram.data(), 30), 1);
    EXPECT_EQ(receive(), -1) << "neither refusal sent anything";
    EXPECT_EQ(snd_udp(-1, a.sin_addr.s_addr, port, dgram.data(), 30), 1);
    close(rx);
    close(tx);

    jx_log_close();
    std::ifstream f(std::string(tmpl) + "/log", std::ios::binary);
    const std::string log{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    std::filesystem::remove_all(tmpl);
    EXPECT_NE(log.find("\tUDP payload exceeds config limits!\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\tComputed dst port to 0, error!\r\n"), std::string::npos);
    EXPECT_NE(log.find("\tError in sending data - 9\r\n"), std::string::npos);  // EBADF
}

TEST(SndIds, FreshMessageIdsAreNeverZeroAndVary)
{
    std::srand(1);
    std::set<uint32_t> seen;
    for (int i = 0; i < 20000; i++) {
        const uint32_t id = get_msg_id_4srlz();
        ASSERT_NE(id, 0u);
        seen.insert(id);
    }
    EXPECT_GT(seen.size(), 19000u);
}
