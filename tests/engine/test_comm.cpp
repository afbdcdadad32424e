// The engine context: start-up and shut-down with real sockets, identity, user name, queues and
// the event payload builders.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "engine/events.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Comm = EngineFixture;

bool is_open(int fd)
{
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

TEST_F(Comm, StartsWithIdentityAndSocketsAndClosesThemOnce)
{
    EXPECT_EQ(comm.running, 1);
    EXPECT_EQ(local_port(comm.rcv_sock), 8855);
    EXPECT_EQ(local_port(comm.data_sock), 8856);
    EXPECT_EQ(local_port(comm.snd_sock), 0);  // ephemeral, picked on first send

    ASSERT_EQ(std::strlen(comm.instance_id), 32u);
    for (const char c : std::string(comm.instance_id))
        EXPECT_TRUE((c >= '0' && c <= '8') || (c >= 'a' && c <= 'y') || (c >= 'A' && c <= 'Y')) << c;
    ASSERT_EQ(std::strlen(comm.username), 15u);
    EXPECT_EQ(std::string(comm.username, 6), "jexley");
    EXPECT_EQ(std::string(comm.username + 6).find_first_not_of("0123456789"), std::string::npos);
    EXPECT_TRUE(log_line("Logger initialized"));
    EXPECT_TRUE(log_line("Client listening on port 8855"));

    const int rcv = comm.rcv_sock, snd = comm.snd_sock, data = comm.data_sock;
    EXPECT_EQ(jx_comm_close(), 0);
    started = false;
    EXPECT_EQ(comm.running, 0);
    EXPECT_FALSE(is_open(rcv));
    EXPECT_FALSE(is_open(snd));
    EXPECT_FALSE(is_open(data));
    EXPECT_TRUE(log_line("Comms closed"));
    // A second close must not touch descriptors that now belong to someone else.
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(jx_comm_close(), 0);
    EXPECT_TRUE(is_open(other));
    close(other);
    // The ports are free again.
    ASSERT_EQ(jx_comm_init(program_path.c_str()), 0);
    started = true;
}

TEST_F(Comm, StartFailsWithoutStorageRootOrWhenAPortIsTaken)
{
    jx_comm_close();
    started = false;
    const size_t listening = log_count("Client listening");
    EXPECT_EQ(jx_comm_init("/nonexistent_jx_dir/jexley"), 1);
    jx_comm_close();
    {
        // Only 8856 taken: start-up fails without a message.
        Probe busy("0.0.0.0", 8856);
        EXPECT_EQ(jx_comm_init(program_path.c_str()), 1);
        jx_comm_close();
    }
    EXPECT_EQ(log_count("failed"), 0u);
    EXPECT_EQ(log_count("Client listening"), listening);

    Probe busy("0.0.0.0", 8855);
    EXPECT_EQ(jx_comm_init(program_path.c_str()), 1);
    jx_comm_close();
    EXPECT_TRUE(log_line("Bind() failed - 98")) << log_text();  // EADDRINUSE
}

TEST_F(Comm, UserNameIsTrimmedAndLimitedToFifteen)
{
    const std::tuple<const char*, uint8_t, const char*> rows[] = {
        {"  abcdefghijklmno\t", 0, "abcdefghijklmno"},
        {"abcdefghijklmnop", 1, "abcdefghijklmno"},
        {"   \t ", 2, "abcdefghijklmno"},
        {"bob", 0, "bob"}};
    for (const auto& [in, rc, stored] : rows) {
        char name[64];
        std::strcpy(name, in);
        EXPECT_EQ(jx_comm_set_uname(name), rc) << in;
        EXPECT_STREQ(comm.username, stored) << in;
    }
    // The old name's tail must not survive behind the terminator: the header sends 15 bytes.
    EXPECT_EQ(std::string(comm.username, sizeof(comm.username)), std::string("bob") + std::string(13, '\0'));
}

TEST(EventBuilders, KeepWhatFitsAndAlwaysTerminate)
{
    // A whole 1440-byte payload and 15 characters of a name; nothing beyond.
    const std::string text = "A" + std::string(1438, 'x') + "Z" + std::string(60, 'x');
    std::unique_ptr<msg_ev, FreeDeleter> m(
        jx_build_msg_ev(text.data(), text.size(), CH_NET_DM, 5, 1, 2, 99, "a-very-long-user-name"));
    EXPECT_EQ(std::string(m->text), text.substr(0, 1440));
    EXPECT_STREQ(m->username, "a-very-long-use");
    m.reset(jx_build_msg_ev("hi there", 2, CH_MAIN, 5, 0, 0, 0, nullptr));
    EXPECT_STREQ(m->text, "hi");
    EXPECT_STREQ(m->username, "");

    // File names: at most 1023 bytes; the length is taken modulo 65536.
    const std::string name(70000, 'n');
    std::unique_ptr<file_ev, FreeDeleter> f(jx_build_file_ev(name.data(), 65536 + 3, CH_DM, 7, 8));
    EXPECT_STREQ(f->name, "nnn");
    f.reset(jx_build_file_ev(name.data(), 5000, CH_NET_DM, 7, 8));
    EXPECT_EQ(std::strlen(f->name), 1023u);

    // A transfer id of 8 bytes and a digest of 32.
    uint8_t bytes[40];
    for (int i = 0; i < 40; i++)
        bytes[i] = static_cast<uint8_t>(0xF0 ^ i);
    std::unique_ptr<hash_ev, FreeDeleter> h(jx_build_hash_ev(bytes, bytes + 8));
    EXPECT_EQ(std::memcmp(h->id, bytes, 8), 0);
    EXPECT_EQ(std::memcmp(h->digest, bytes + 8, 32), 0);
}

}  // namespace
