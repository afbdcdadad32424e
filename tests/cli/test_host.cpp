// Serving the control socket: one command too many is told so and holds no place, and a process
// out of descriptors sets the socket aside for a moment instead of turning on it without sleep.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cli/host.hpp"
#include "control/control.hpp"
#include "control/message.hpp"
#include "support/engine_root.hpp"

extern bool g_cli_netns;
using namespace jxtest;

namespace {

class Host : public EngineRootTest {
  protected:
    void SetUp() override
    {
        if (!g_cli_netns)
            GTEST_SKIP() << "needs a network namespace of its own (the engine binds 8855 and 8856)";
        start_engine(1'750'000'400);
        cli_host_open(false);
    }
    void TearDown() override
    {
        cli_host_close();
        EngineRootTest::TearDown();
    }
};

int client()
{
    char why[CTL_WHY_SIZE];
    int err = 0;
    return ctl_connect(why, sizeof why, &err);
}

// What the server wrote to fd (non-blocking) so far.
std::string said(int fd)
{
    std::string s;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

}  // namespace

TEST_F(Host, OneCommandTooManyIsToldAndHoldsNoPlace)
{
    std::vector<int> fds;
    for (int i = 0; i < 64; i++) {
        fds.push_back(client());
        ASSERT_GE(fds.back(), 0);
        if (i % 8 == 7)  // the listen backlog is short
            cli_host_turn();
    }
    const int extra = client();
    cli_host_turn();
    EXPECT_EQ(said(extra), ctl_record_line({CTL_ERR, "jexley: too many commands at once on this storage root", {}, 0}) +
                               ctl_record_line({CTL_EXIT, "", {}, 1}));
    // One leaves, and its place is the next one's, though the one refused has not closed yet.
    close(fds.back());
    cli_host_turn();
    fds.back() = client();
    cli_host_turn();
    EXPECT_EQ(said(fds.back()), "");
    fds.push_back(extra);
    for (int fd : fds)
        close(fd);
}

TEST_F(Host, OutOfDescriptorsTheSocketIsSetAsideForAMoment)
{
    const int fd = client();
    const std::string req = ctl_request_line({{"watch", "--help"}, "/", false});
    ASSERT_EQ(write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = static_cast<rlim_t>(open("/dev/null", O_RDONLY));  // the lowest free one
    close(static_cast<int>(none.rlim_cur));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    cli_host_turn();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    pollfd wake{cli_host_wake_fd(-1), POLLIN, 0};
    EXPECT_EQ(poll(&wake, 1, 0), 0) << "the connection it could not take no longer wakes the loop";
    const int64_t wait = cli_host_wait_us();
    ASSERT_GT(wait, 0);
    ASSERT_LE(wait, 250000) << "but the loop wakes to try again";
    usleep(static_cast<useconds_t>(wait));
    cli_host_turn();
    cli_host_turn();
    EXPECT_NE(said(fd).find(ctl_record_line({CTL_EXIT, "", {}, 0})), std::string::npos);
    EXPECT_EQ(log_count("Control connections not taken: Too many open files"), 1u);
    close(fd);
}
