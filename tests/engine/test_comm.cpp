// The engine context: start-up and shut-down with real sockets, identity, user name, queues and
// the event payload builders.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/utils.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

uint16_t bound_port(int sock)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

bool is_open(int fd)
{
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

}  // namespace

using CommInit = StorageRootFixture;
using Comm = EngineFixture;

TEST_F(Comm, StartsWithIdentitySocketsAndEmptyQueues)
{
    EXPECT_EQ(jx_comm_get(), &comm);
    EXPECT_EQ(comm.running, 1);
    EXPECT_EQ(comm.port, 8855);
    EXPECT_EQ(comm.data_payload_max, 1370);
    EXPECT_EQ(bound_port(comm.rcv_sock), 8855);
    EXPECT_EQ(bound_port(comm.data_sock), 8856);
    EXPECT_EQ(bound_port(comm.snd_sock), 0);  // ephemeral, picked on first send

    ASSERT_EQ(std::strlen(comm.instance_id), 32u);
    for (const char c : std::string(comm.instance_id))
        EXPECT_TRUE((c >= '0' && c <= '8') || (c >= 'a' && c <= 'y') || (c >= 'A' && c <= 'Y')) << c;

    ASSERT_EQ(std::strlen(comm.username), 15u);
    EXPECT_EQ(std::string(comm.username, 6), "jexley");
    for (int i = 6; i < 15; i++)
        EXPECT_TRUE(comm.username[i] >= '0' && comm.username[i] <= '9');

    EXPECT_EQ(comm.events.size, 0);
    EXPECT_EQ(comm.tasks.size, 0);
    EXPECT_EQ(comm.networks.size, 0);
    EXPECT_TRUE(log_has("\tLogger initialized\r\n"));
    EXPECT_TRUE(log_has("\tClient listening on port 8855\r\n"));
}

TEST_F(Comm, CloseWithoutNetworksClosesTheSocketsAndCanStartAgain)
{
    const int rcv = comm.rcv_sock, snd = comm.snd_sock, data = comm.data_sock;
    EXPECT_EQ(jx_comm_close(), 0);
    started = false;
    EXPECT_EQ(comm.running, 0);
    EXPECT_FALSE(is_open(rcv));
    EXPECT_FALSE(is_open(snd));
    EXPECT_FALSE(is_open(data));
    EXPECT_TRUE(log_has("\tComms closed\r\n"));
    // A second close must not touch descriptors that now belong to someone else.
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(jx_comm_close(), 0);
    EXPECT_TRUE(is_open(other));
    close(other);
    // The ports are free again.
    ASSERT_EQ(jx_comm_init(program_path.c_str()), 0);
    started = true;
}

TEST_F(CommInit, FailsWithoutStorageRootOrWhenAPortIsTaken)
{
    EXPECT_EQ(jx_comm_init("/nonexistent_jx_dir/jexley"), 1);
    jx_comm_close();

    // Port 8855 taken: the receiver's bind fails and says so.
    Probe busy("0.0.0.0", 8855);
    EXPECT_EQ(jx_comm_init(program_path.c_str()), 1);
    jx_comm_close();
    const std::string log = log_text();
    EXPECT_NE(log.find("\tBind() failed - 98\r\n"), std::string::npos) << log;  // EADDRINUSE
}

TEST_F(CommInit, FailsSilentlyWhenOnlyTheDataPortIsTaken)
{
    {
        Probe busy("0.0.0.0", 8856);
        EXPECT_EQ(jx_comm_init(program_path.c_str()), 1);
        jx_comm_close();
    }
    EXPECT_FALSE(log_has("failed"));
    EXPECT_FALSE(log_has("Client listening"));
}

TEST_F(Comm, UserNameIsTrimmedAndLimitedToFifteen)
{
    char name[64];
    std::strcpy(name, "  abcdefghijklmno\t");
    EXPECT_EQ(jx_comm_set_uname(name), 0);
    EXPECT_STREQ(comm.username, "abcdefghijklmno");

    std::strcpy(name, "abcdefghijklmnop");
    EXPECT_EQ(jx_comm_set_uname(name), 1);
    EXPECT_STREQ(comm.username, "abcdefghijklmno");

    std::strcpy(name, "   \t ");
    EXPECT_EQ(jx_comm_set_uname(name), 2);
    EXPECT_STREQ(comm.username, "abcdefghijklmno");

    std::strcpy(name, "bob");
    EXPECT_EQ(jx_comm_set_uname(name), 0);
    EXPECT_STREQ(comm.username, "bob");
    // The old name's tail must not survive behind the terminator: the header sends 15 bytes.
    for (size_t i = 3; i < sizeof(comm.username); i++)
        EXPECT_EQ(comm.username[i], 0);
}

TEST_F(Comm, QueuesKeepTheOrderOfArrival)
{
    ASSERT_EQ(jx_comm_add_event(EV_NET_REFRESH, jx_build_net_ev(ip("224.0.0.1"))), 0);
    ASSERT_EQ(jx_comm_add_event(EV_CHANNEL_ADDED, jx_build_ch_ev(ip("224.0.0.1"), ip("10.0.0.2"))), 0);
    ASSERT_EQ(jx_comm_add_event(EV_PEER_JOINED, nullptr), 0);  // a failed builder is still queued
    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), (std::vector<uint8_t>{EV_NET_REFRESH, EV_CHANNEL_ADDED, EV_PEER_JOINED}));
    EXPECT_EQ(evs[0].as<net_ev>()->net_addr, ip("224.0.0.1"));
    EXPECT_EQ(evs[1].as<ch_ev>()->peer_addr, ip("10.0.0.2"));
    EXPECT_EQ(evs[2].payload, nullptr);
    EXPECT_EQ(comm.events.size, 0);

    int a = 1, b = 2;
    ASSERT_EQ(jx_comm_add_task(TASK_VERIFY_DOWNLOAD, &a), 0);
    ASSERT_EQ(jx_comm_add_task(TASK_VERIFY_DOWNLOAD, &b), 0);
    void* data = nullptr;
    ASSERT_EQ(jx_list_rem_next(&comm.tasks, nullptr, &data), 0);
    EXPECT_EQ(static_cast<JXTask*>(data)->payload, &a);
    std::free(data);
    // The second stays queued; close drops it without touching its payload.
}

TEST(EventBuilders, CopyBoundedFieldsAndAlwaysTerminate)
{
    std::string text(1500, 'x');
    text[0] = 'A';
    text[1439] = 'Z';
    msg_ev* m =
        jx_build_msg_ev(text.data(), text.size(), CH_NET_DM, 0xABCDEF01u, 1, 2, 99, "a-very-long-user-name");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ch_type, CH_NET_DM);
    EXPECT_EQ(m->msg_id, 0xABCDEF01u);
    EXPECT_EQ(m->addr_a, 1u);
    EXPECT_EQ(m->addr_b, 2u);
    EXPECT_EQ(m->time, 99);
    EXPECT_STREQ(m->username, "a-very-long-use");
    // A whole 1440-byte payload fits; nothing beyond it.
    EXPECT_EQ(std::strlen(m->text), 1440u);
    EXPECT_EQ(m->text[1439], 'Z');
    std::free(m);

    m = jx_build_msg_ev("hi there", 2, CH_MAIN, 5, 0, 0, 0, "");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->text, "hi");
    EXPECT_STREQ(m->username, "");
    std::free(m);

    std::string name(70000, 'n');
    file_ev* f = jx_build_file_ev(name.data(), 65536 + 3, CH_DM, 7, 8);  // length taken modulo 65536
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->name, "nnn");
    EXPECT_EQ(f->ch_type, CH_DM);
    std::free(f);
    f = jx_build_file_ev(name.data(), 5000, CH_NET_DM, 7, 8);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::strlen(f->name), 1023u);
    std::free(f);

    uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t digest[32];
    for (int i = 0; i < 32; i++)
        digest[i] = static_cast<uint8_t>(0xF0 ^ i);
    hash_ev* h = jx_build_hash_ev(id, digest);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::memcmp(h->id, id, 8), 0);
    EXPECT_EQ(std::memcmp(h->digest, digest, 32), 0);
    std::free(h);

    user_ev* u = jx_build_user_ev(3, 4, "newname", "oldname");
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->net_addr, 3u);
    EXPECT_EQ(u->peer_addr, 4u);
    EXPECT_STREQ(u->name1, "newname");
    EXPECT_STREQ(u->name2, "oldname");
    std::free(u);
}
