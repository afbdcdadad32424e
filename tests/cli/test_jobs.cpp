// The verbs as jobs over the real engine: what they say, ask and end with, and which networks they
// leave; and the control socket that serves them: one command too many holds no place, and a
// process out of descriptors sets the socket aside instead of spinning. Events are raised as the
// engine would raise them.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "cli/host.hpp"
#include "cli/job.hpp"
#include "control/control.hpp"
#include "engine/comm.hpp"
#include "engine/downloads.hpp"
#include "engine/registry.hpp"
#include "support/engine_root.hpp"
#include "support/netns.hpp"

extern bool g_cli_netns;
using namespace jxtest;

class Jobs : public EngineRootTest {
  protected:
    static inline std::string said;
    void SetUp() override
    {
        if (!g_cli_netns)
            GTEST_SKIP() << "needs a network namespace of its own (the engine binds 8855 and 8856)";
        start_engine(1'750'000'400);
        said.clear();
    }
    void TearDown() override
    {
        cli_host_close();  // and the jobs
        EngineRootTest::TearDown();
    }
    static void sink(void*, const CtlRecord& r)
    {
        const char* kinds[] = {"", "out", "err", "progress", "ask", "exit"};
        said += std::string(kinds[r.kind]) + ":" + (r.kind == CTL_EXIT ? std::to_string(r.status) : r.text) +
                "\n";
    }
    static CliJob* job(std::vector<const char*> argv)
    {
        CliArgs a;
        std::string why;
        EXPECT_EQ(cli_parse(static_cast<int>(argv.size()), argv.data(), &a, &why), CLI_ARGS_OK) << why;
        return cli_job_new(a, "/", false, false, CliSink{sink, nullptr});
    }
    // A client of the control socket, and what the server wrote to it so far.
    static int client()
    {
        char why[CTL_WHY_SIZE];
        int err = 0;
        return ctl_connect(why, sizeof why, &err);
    }
    static std::string read_all(int fd)
    {
        std::string s;
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            s.append(buf, static_cast<size_t>(n));
        return s;
    }
    static std::string take()
    {
        std::string s = said;
        said.clear();
        return s;
    }
    // A pending offer of name from 10.0.0.9 on its private network.
    static void offer(uint8_t id, const char* name, uint64_t size = 10)
    {
        JXNetwork* n = jx_network_by_addr(ip("10.0.0.9"));
        auto* t = static_cast<JXTransfer*>(calloc(1, sizeof(JXTransfer)));
        t->id[0] = id, t->addr = n->addr, t->meta.size = size, t->limit = 1370, t->meta.digest[0] = 0xab;
        std::snprintf(t->meta.name, sizeof t->meta.name, "%s", name);
        ASSERT_EQ(jx_list_ins_next(&n->downloads, jx_list_tail(&n->downloads), t), 0);
    }
};

TEST_F(Jobs, ReceiveAsksTakesTheAnswersAndEndsAtItsCount)
{
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("10.0.0.9", 0, &ch), JX_JOIN_OK);
    jx_set_network_status(jx_network_by_addr(ip("10.0.0.9")), NET_ONLINE);
    offer(1, "a.txt");
    CliJob* j = job({"receive", "--count", "1"});
    EXPECT_EQ(take(), "ask:Accept a.txt (10B, sha256 ab0000000000...) from 10.0.0.9?\n");
    offer(2, "b.txt");
    file_ev* e = jx_build_file_ev("b.txt", 5, CH_DM, ip("10.0.0.9"), ip("10.0.0.9"));
    e->id[0] = 2, e->digest[0] = 0xab;
    const JXEvent offered{EV_DL_OFFERED, e};
    cli_jobs_event(&offered);
    EXPECT_EQ(take(), "") << "one question at a time";
    // An offer removed without a word (Delete in the program) takes its waiting question along.
    offer(3, "c.txt");
    e->id[0] = 3;
    cli_jobs_event(&offered);
    e->id[0] = 2;
    const uint8_t c[JX_TRANSFER_ID_LEN] = {3};
    (void)jx_cancel_dl(jx_network_by_addr(ip("10.0.0.9")), c);
    drop_events();
    j->looked_us = 0;
    cli_jobs_step();
    EXPECT_EQ(j->questions.size(), 2u);
    cli_job_answer(j, false);
    EXPECT_EQ(take(),
              "err:jexley receive: a.txt: declined\nask:Accept b.txt (10B, sha256 ab0000000000...) from "
              "10.0.0.9?\n");
    cli_job_answer(j, true);
    EXPECT_EQ(j->files.size(), 1u);
    const JXEvent done{EV_DL_COMPLETE, e};
    e->size = 10;
    cli_jobs_event(&done);
    cli_jobs_step();
    EXPECT_EQ(take(), "out:received 10 ab" + std::string(62, '0') + " " + root.string() +
                          "/downloads/b.txt\nexit:0\n");
    EXPECT_EQ(j->status, 0);
    std::free(e);
    cli_job_free(j);
    // One that cannot be taken is declined, so that its sender is not left waiting.
    offer(4, "huge.iso", uint64_t{1} << 62);
    CliJob* y = job({"receive", "--yes", "--any"});
    EXPECT_EQ(take().rfind("err:jexley receive: huge.iso: does not fit: ", 0), 0u);
    const uint8_t huge[JX_TRANSFER_ID_LEN] = {4};
    EXPECT_EQ(jx_get_dl(jx_network_by_addr(ip("10.0.0.9")), huge), nullptr);
    // Told and counted, it is forgotten: strangers' offers do not grow a long receive.
    drop_events();
    y->looked_us = 0;
    cli_jobs_step();
    EXPECT_EQ(std::make_tuple(y->files.size(), y->ended, y->failed), std::make_tuple(size_t{0}, 1u, 1u));
    cli_job_free(y);
}

TEST_F(Jobs, WhatIsRemovedInTheProgramEndsItsFileOrTextThoughNoEventSaysSo)
{
    ASSERT_TRUE(jx_test_lo_route(SIOCADDRT, "10.0.0.0", "255.0.0.0")) << "what goes to 10.0.0.9 is sent";
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("10.0.0.9", 0, &ch), JX_JOIN_OK);
    JXNetwork* n = jx_network_by_addr(ip("10.0.0.9"));
    jx_set_network_status(n, NET_ONLINE);
    JXPacket beacon{};
    beacon.src_addr = n->addr, beacon.src_port = htons(JX_PORT);
    ASSERT_EQ(jx_add_peer(n, &beacon), JX_PEER_ADDED);
    std::ofstream(root / "a.bin") << "0123456789";
    offer(1, "b.txt");
    CliJob* jobs[] = {job({"send", "--to", "10.0.0.9", (root / "a.bin").c_str()}),
                      job({"receive", "--yes", "--any", "--count", "1"}),
                      job({"say", "--to", "10.0.0.9", "hi"})};
    cli_jobs_step();
    ASSERT_EQ(std::make_tuple(jx_list_size(&n->uploads), jx_list_size(&n->downloads), jobs[2]->status),
              std::make_tuple(1, 1, CLI_RUNNING))
        << "offered, accepted, sent: " << take();
    // Leaving drops the upload, the download and the text's record, and tells no job.
    ASSERT_EQ(jx_leave_network(n), 0);
    jx_comm_raise(EV_NET_REFRESH, nullptr);
    for (CliJob* j : jobs)
        j->looked_us = 0;
    cli_jobs_step();
    EXPECT_EQ(take(), "") << "while an event waits, it may yet tell how they ended";
    drop_events();
    cli_jobs_step();
    EXPECT_EQ(take(), "err:jexley send: a.bin: removed in the program\nout:failed 0 - a.bin\nexit:1\n"
                      "err:jexley receive: b.txt: removed in the program\nout:failed 10 ab" +
                          std::string(62, '0') + " " + root.string() +
                          "/downloads/b.txt\nexit:1\n"
                          "err:jexley say: the text was removed in the program\nexit:1\n");
    for (CliJob* j : jobs)
        cli_job_free(j);
}

TEST_F(Jobs, RefusalsAndStopsEndWithTheirStatus)
{
    const std::string fifo = (root / "fifo").string();
    mkfifo(fifo.c_str(), 0600);
    const std::pair<std::vector<const char*>, std::string> starts[] = {
        {{"send", "--to", "10.0.0.9", "/nonexistent"},
         "err:jexley send: /nonexistent: No such file or directory\n"},
        {{"send", "--to", "10.0.0.9", fifo.c_str()},
         "err:jexley send: " + fifo + " is neither a regular file nor a folder\n"},
        {{"say", "--to", "127.0.0.1", "hi"},
         "err:jexley say: cannot join 127.0.0.1: loopback and 0.0.0.0 cannot be joined\n"},
    };
    for (const auto& [argv, why] : starts) {
        CliJob* j = job(argv);
        EXPECT_EQ(take(), why + "exit:1\n");
        cli_job_free(j);
    }
    EXPECT_EQ(jx_network_by_addr(ip("10.0.0.9")), nullptr)
        << "a send that refused its paths leaves its network";
    // Stopped: watch ends well and quietly; a receive without everything it asked for does not.
    CliJob* w = job({"watch"});
    CliJob* r = job({"receive", "--yes", "--any", "--count", "2"});
    cli_job_stop(w, "interrupted");
    cli_job_stop(r, "interrupted");
    EXPECT_EQ(take(),
              "exit:0\nerr:jexley receive: 0 of 2 files ended\nerr:jexley receive: interrupted\nexit:1\n");
    cli_job_free(w);
    cli_job_free(r);
}

TEST_F(Jobs, AGroupIsLeftWhenTheLastJobThatNeedsItEnds)
{
    CliJob* first = job({"watch", "--group", "239.1.2.3"});
    CliJob* second = job({"watch", "--group", "239.1.2.3"});
    EXPECT_EQ(first->joined.size() + second->joined.size(), 1u);
    cli_job_stop(first, "");
    EXPECT_NE(jx_network_by_addr(ip("239.1.2.3")), nullptr) << "the second watch still needs it";
    cli_job_stop(second, "");
    EXPECT_EQ(jx_network_by_addr(ip("239.1.2.3")), nullptr);
    // A group someone else joined stays.
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("239.1.2.4", 0, &ch), JX_JOIN_OK);
    CliJob* third = job({"watch", "--group", "239.1.2.4"});
    cli_job_stop(third, "");
    EXPECT_NE(jx_network_by_addr(ip("239.1.2.4")), nullptr);
    for (CliJob* j : {first, second, third})
        cli_job_free(j);
}

TEST_F(Jobs, OneCommandTooManyIsToldAndHoldsNoPlace)
{
    cli_host_open(false);
    std::vector<int> fds;
    for (int i = 0; i < 64; i++) {
        fds.push_back(client());
        ASSERT_GE(fds.back(), 0);
        if (i % 8 == 7)  // the listen backlog is short
            cli_host_turn();
    }
    const int extra = client();
    cli_host_turn();
    EXPECT_EQ(read_all(extra),
              ctl_record_line({CTL_ERR, "jexley: too many commands at once on this storage root", {}, 0}) +
                  ctl_record_line({CTL_EXIT, "", {}, 1}));
    // One leaves, and its place is the next one's, though the one refused has not closed yet.
    close(fds.back());
    cli_host_turn();
    fds.back() = client();
    cli_host_turn();
    EXPECT_EQ(read_all(fds.back()), "");
    fds.push_back(extra);
    for (int fd : fds)
        close(fd);
}

TEST_F(Jobs, OutOfDescriptorsTheSocketIsSetAsideForAMoment)
{
    cli_host_open(false);
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
    ASSERT_TRUE(wait > 0 && wait <= 250000) << wait << ": the loop wakes to try again";
    usleep(static_cast<useconds_t>(wait));
    cli_host_turn();
    cli_host_turn();
    EXPECT_NE(read_all(fd).find(ctl_record_line({CTL_EXIT, "", {}, 0})), std::string::npos);
    EXPECT_EQ(log_count("Control connections not taken: Too many open files"), 1u);
    close(fd);
}
