// The engine context: its sockets from start to a repeated close, and why a start failed (in the
// log). The user name rule is checked through the terminal's /uname.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Comm = EngineFixture;

TEST_F(Comm, SocketsLiveFromStartToCloseAndAFailedBindIsLogged)
{
    EXPECT_EQ(local_port(comm.rcv_sock), 8855);
    EXPECT_EQ(local_port(comm.data_sock), 8856);
    EXPECT_EQ(std::strlen(comm.instance_id), 32u);
    const int rcv = comm.rcv_sock;
    jx_comm_close();
    started = false;
    EXPECT_EQ(fcntl(rcv, F_GETFD), -1);
    // A second close must not touch descriptors that now belong to someone else.
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    jx_comm_close();
    EXPECT_NE(fcntl(other, F_GETFD), -1);
    close(other);

    // 8856 taken: start-up fails without a message; 8855 taken: the bind's errno is logged.
    {
        Probe busy("0.0.0.0", 8856);
        EXPECT_EQ(jx_comm_init((root / "jexley").c_str()), 1);
        jx_comm_close();
    }
    EXPECT_EQ(log_count("failed"), 0u);
    Probe busy("0.0.0.0", 8855);
    EXPECT_EQ(jx_comm_init((root / "jexley").c_str()), 1);
    jx_comm_close();
    EXPECT_TRUE(log_line("Bind() failed - 98")) << log_text();  // EADDRINUSE
}

}  // namespace
