// The sending primitive against real loopback sockets (ephemeral ports only) and the message ids.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/log.hpp"
#include "protocol/protocol.hpp"
#include "protocol/snd.hpp"

namespace {

class SndUdp : public ::testing::Test {
  protected:
    std::filesystem::path dir;
    int rx = -1;
    int tx = -1;
    uint16_t rx_port = 0;

    void SetUp() override
    {
        char tmpl[] = "/tmp/jx_snd_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(jx_log_init(dir.c_str()), 0);
        rx = socket(AF_INET, SOCK_DGRAM, 0);
        tx = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = inet_addr("127.0.0.1");
        ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        socklen_t len = sizeof(a);
        getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
        rx_port = ntohs(a.sin_port);
    }
    void TearDown() override
    {
        close(rx);
        close(tx);
        jx_log_close();
        std::filesystem::remove_all(dir);
    }
    std::string log_text() const
    {
        std::ifstream f(dir / "log", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    // Next datagram waiting on rx, or empty after a short wait.
    std::vector<uint8_t> receive() const
    {
        pollfd pfd{rx, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0)
            return {};
        std::vector<uint8_t> b(2048);
        const ssize_t n = recv(rx, b.data(), b.size(), 0);
        b.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return b;
    }
};

}  // namespace

TEST_F(SndUdp, SendsWholeDatagramsAndRefusesOversizePortZeroAndBadSockets)
{
    uint8_t dgram[JX_DATAGRAM_MAX + 1];
    for (size_t i = 0; i < sizeof(dgram); i++)
        dgram[i] = static_cast<uint8_t>(i);

    EXPECT_EQ(snd_udp(tx, inet_addr("127.0.0.1"), rx_port, dgram, JX_DATAGRAM_MAX), 0);
    const auto got = receive();
    ASSERT_EQ(got.size(), JX_DATAGRAM_MAX);
    EXPECT_EQ(std::vector<uint8_t>(dgram, dgram + JX_DATAGRAM_MAX), got);

    EXPECT_EQ(snd_udp(tx, inet_addr("127.0.0.1"), rx_port, dgram, JX_DATAGRAM_MAX + 1), 1);
    EXPECT_EQ(snd_udp(tx, inet_addr("127.0.0.1"), 0, dgram, 30), 1);
    EXPECT_TRUE(receive().empty());  // neither refusal sent anything

    EXPECT_EQ(snd_udp(-1, inet_addr("127.0.0.1"), rx_port, dgram, 30), 1);

    const std::string log = log_text();
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
