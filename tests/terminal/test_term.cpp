// Start-up diagnosis: a failed start names its cause.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <string>

#include "storage/fso.hpp"
#include "terminal/term.hpp"
#include "terminal_fixture.hpp"

namespace {

std::string explain(const char* argv0)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    term_explain_start_failure(argv0, f);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

int bind_udp(uint16_t port)
{
    int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

}  // namespace

TEST(TermStartFailure, NoStorageRootListsWhereItLooked)
{
    JXFso saved = fso;
    fso = JXFso{};
    std::string out = explain("/nonexistent/dir/jexley");
    fso = saved;
    EXPECT_EQ(out.rfind("No storage root found: jx_internal/ (writable), msg/ and downloads/ must exist", 0),
              0u);
    EXPECT_NE(out.find("/nonexistent/dir/jx_internal"), std::string::npos) << out;
    // One line of cause, then one line per place searched.
    EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 2);
}

TEST(TermStartFailure, NamesThePortInUse)
{
    if (!g_own_netns)
        GTEST_SKIP() << "needs a network namespace of its own (root or user namespaces)";
    JXFso saved_fso = fso;
    JXComm* cc = jx_comm_get();
    int32_t saved_rcv = cc->rcv_sock;
    snprintf(fso.internal_path, sizeof fso.internal_path, "/tmp/jx_internal/");

    // Another program holds 8855: the engine got no further than that bind.
    cc->rcv_sock = -1;
    int other = bind_udp(8855);
    ASSERT_GE(other, 0);
    EXPECT_EQ(explain("jexley"), "UDP port 8855 is in use by another program (is Jexley already running?)\n");
    close(other);

    // The engine bound 8855 itself, then failed on 8856, which someone else holds.
    cc->rcv_sock = bind_udp(8855);
    ASSERT_GE(cc->rcv_sock, 0);
    other = bind_udp(8856);
    ASSERT_GE(other, 0);
    EXPECT_EQ(explain("jexley"), "UDP port 8856 is in use by another program (is Jexley already running?)\n");
    close(other);

    // Both free: the sockets failed for another reason.
    EXPECT_EQ(explain("jexley").rfind("Could not open the UDP sockets on ports 8855 and 8856", 0), 0u);
    close(cc->rcv_sock);

    cc->rcv_sock = saved_rcv;
    fso = saved_fso;
}

TEST(TermConfig, SavedUsernameIsLoaded)
{
    char dir[] = "/tmp/jx_term_cfg.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    JXFso saved = fso;
    snprintf(fso.cfg_path, sizeof fso.cfg_path, "%s/cfg", dir);
    char* name = jx_comm_get()->username;
    strcpy(name, "jexley123456789");
    term_load_cfg();  // no file: the generated name stays
    EXPECT_STREQ(name, "jexley123456789");
    const struct {
        std::string file;
        const char* name;
    } cases[] = {
        {"abcdefghijklmnoEXTRA", "abcdefghijklmno"},                   // 15 characters whole, terminated
        {std::string(1, '\0') + "xxxxxxxxxxxxxx", "abcdefghijklmno"},  // a first NUL: the name stays
        {"bob", "bob"},                                                // a short file: its bytes
    };
    for (const auto& c : cases) {
        std::ofstream(fso.cfg_path, std::ios::binary) << c.file;
        term_load_cfg();
        EXPECT_STREQ(name, c.name);
    }
    remove(fso.cfg_path);
    rmdir(dir);
    fso = saved;
}
