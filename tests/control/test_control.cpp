// The control socket and its messages: where and how the socket is made, what it refuses, the
// framing, and every message through the JSON and back; malformed lines are refused with a reason.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "control/control.hpp"
#include "control/message.hpp"
#include "storage/fso.hpp"

namespace fs = std::filesystem;

TEST(ControlMessage, RecordsRequestsAndRepliesGoThroughJsonAndBack)
{
    const CtlRecord records[] = {{CTL_OUT, "sent 3 ab c d.pdf", {}, 0},
                                 {CTL_ERR, "bad \xff byte", {}, 0},
                                 {CTL_ASK, "Accept x?", {}, 0},
                                 {CTL_PROGRESS, "", {"x.bin", 5, 10, 0.25, 7}, 0},
                                 {CTL_EXIT, "", {}, 3}};
    for (const CtlRecord& r : records) {
        const std::string line = ctl_record_line(r);
        ASSERT_EQ(line.back(), '\n');
        CtlRecord back;
        std::string why;
        ASSERT_TRUE(ctl_record_parse(line.substr(0, line.size() - 1), &back, &why)) << line << why;
        const std::string text = r.text == "bad \xff byte" ? "bad \xef\xbf\xbd byte" : r.text;
        EXPECT_EQ(std::make_tuple(back.kind, back.text, back.status, back.progress.name, back.progress.done,
                                  back.progress.size, back.progress.speed, back.progress.eta),
                  std::make_tuple(r.kind, text, r.status, r.progress.name, r.progress.done, r.progress.size,
                                  r.progress.speed, r.progress.eta));
    }
    CtlRequest req;
    std::string why;
    ASSERT_TRUE(ctl_request_parse(ctl_request_line({{"say", "--to", "10.0.0.2", "hi"}, "/home/a", true}),
                                  &req, &why));
    EXPECT_EQ(std::make_tuple(req.argv.size(), req.argv[3], req.cwd, req.progress),
              std::make_tuple(size_t{4}, std::string("hi"), std::string("/home/a"), true));
    bool stop = true, yes = false;
    EXPECT_TRUE(ctl_reply_parse(ctl_answer_line(true), &stop, &yes, &why) && !stop && yes);
    EXPECT_TRUE(ctl_reply_parse(ctl_stop_line(), &stop, &yes, &why) && stop && !yes);
}

TEST(ControlMessage, MalformedLinesAreRefusedWithAReason)
{
    std::string why;
    CtlRecord r;
    for (const char* line :
         {"", "not json", "[1]", "{}", R"({"out":5})", R"({"exit":"1"})",
          R"({"progress":{"name":"x","done":-1,"size":1,"speed":0,"eta":0}})", "{\"out\":\"x\""})
        EXPECT_FALSE(ctl_record_parse(line, &r, &why)) << line;
    CtlRequest q;
    for (const char* line : {R"({"argv":[],"cwd":"/"})", R"({"argv":["say",1],"cwd":"/"})",
                             R"({"argv":["say"]})", R"({"argv":"say","cwd":"/"})"}) {
        why.clear();
        EXPECT_FALSE(ctl_request_parse(line, &q, &why)) << line;
        EXPECT_FALSE(why.empty());
    }
    bool stop = false, yes = false;
    for (const char* line : {R"({"answer":"y"})", R"({"stop":false})", "{}"})
        EXPECT_FALSE(ctl_reply_parse(line, &stop, &yes, &why)) << line;
}

class ControlSocket : public ::testing::Test {
  protected:
    fs::path root, sock;
    void SetUp() override
    {
        // Deeper than a socket address holds: the socket is reached through the open directory.
        char tmpl[] = "/tmp/jx_ctl_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = fs::path(tmpl) / std::string(60, 'd') / std::string(60, 'e');
        fs::create_directories(root / "jx_internal");
        fs::permissions(root / "jx_internal", fs::perms::owner_all);
        std::snprintf(fso.root_path, sizeof fso.root_path, "%s", root.c_str());
        sock = root / "jx_internal" / "control";
    }
    void TearDown() override
    {
        (void)jx_fso_close();
        fs::remove_all(root.parent_path().parent_path());
    }
};

TEST_F(ControlSocket, MadeOwnerOnlyInPlaceOfAStaleOneNeverOfALink)
{
    char why[CTL_WHY_SIZE];
    fs::create_symlink("/tmp", sock);
    EXPECT_EQ(ctl_listen(why, sizeof why), -1);
    EXPECT_STREQ(why, "jx_internal/control is there and is not a socket of this user");
    EXPECT_TRUE(fs::is_symlink(sock));
    fs::remove(sock);
    // A socket a crash left behind is replaced.
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "/proc/self/fd/%d/control", jx_fso_dir_fd(FSO_DIR_INTERNAL));
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(stale);
    const int l = ctl_listen(why, sizeof why);
    ASSERT_GE(l, 0) << why;
    struct stat st {};
    ASSERT_EQ(lstat(sock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A line each way; one longer than CTL_LINE_MAX makes the connection unusable.
    int err = 0;
    CtlConn client, server;
    client.fd = ctl_connect(why, sizeof why, &err);
    ASSERT_GE(client.fd, 0) << why;
    bool refused = true;
    ASSERT_GE(ctl_accept(l, &server, &refused), 0);
    EXPECT_FALSE(refused);
    std::vector<std::string> lines;
    ASSERT_TRUE(ctl_send(&client, "one\ntw"));
    EXPECT_EQ(ctl_read(&server, &lines), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"one"});
    ASSERT_TRUE(ctl_send(&client, std::string(CTL_LINE_MAX, 'x')));
    EXPECT_EQ(ctl_read(&server, &lines), 2);
    EXPECT_TRUE(server.eof);
    close(client.fd), close(server.fd);
    // Removed at the end, but only while it is the one made here.
    fs::remove(sock);
    std::FILE* f = std::fopen(sock.c_str(), "w");
    std::fclose(f);
    ctl_unlisten(l);
    EXPECT_TRUE(fs::is_regular_file(sock));
    fs::remove(sock);
    const int again = ctl_listen(why, sizeof why);
    ctl_unlisten(again);
    EXPECT_FALSE(fs::exists(fs::symlink_status(sock)));
}
