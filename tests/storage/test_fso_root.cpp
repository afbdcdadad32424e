// Storage root search, derived paths, configuration file and path-level file operations, on real
// directory trees with a controlled PATH and working directory.
#include <fcntl.h>
#include <sys/stat.h>

#include <optional>
#include <vector>

#include "fso_fixture.hpp"

// One tree for every case, the working directory at its top: roots that qualify, ones that look
// alike but do not, and links. Relative PATH elements are tested as written, so from here.
class FsoRoot : public TempTree {
  protected:
    std::string R, longdir, d998, d999, nowhere = "/nonexistent/prog";
    void SetUp() override
    {
        TempTree::SetUp();
        R = root;
        // In a/ a directory takes the probe file's place: creating it fails, for root as well.
        for (const char* d : {"work/jx_internal", "exe/jx_internal", "b/jx_internal", "c/jx_internal", "p1",
                              "real/jx_internal", "w/jx_internal", "w/sub/jx_internal", "w/prog/jx_internal",
                              "ok/jx_internal", "links", "plain", "a/jx_internal/.jx_test_file"})
            dir(d);
        write_file(R + "/plain/jx_internal", "x");
        write_file(R + "/real/jexley", "x");
        chmod((R + "/real/jexley").c_str(), 0755);
        ASSERT_EQ(symlink((R + "/real/jexley").c_str(), (R + "/links/jexley").c_str()), 0);
        ASSERT_EQ(symlink("sub/prog", (R + "/links/rel").c_str()), 0);
        ASSERT_EQ(symlink("prog", (R + "/links/bare").c_str()), 0);
        for (auto [d, len] :
             {std::pair{&longdir, size_t{1030}}, {&d998, size_t{998}}, {&d999, size_t{999}}}) {
            for (*d = R; d->size() < len;)  // components of 200 at most
                *d += "/" + std::string(std::min<size_t>(200, len - d->size() - 1), 'd' + len % 3);
            fs::create_directories(*d + "/jx_internal");
        }
        cd(R);
    }
};

// Each case: the candidates the search describes, in order, and the first that qualifies. A bare
// name starts at the working directory; PATH elements are taken as written, "" being the top
// directory; escapes never reach the terminal; a program that is no link ends the search after
// PATH; a link is also found on PATH, and its relative target is relative to the working
// directory; too long paths are skipped, not cut (the probe path of d998 is exactly 1024).
TEST_F(FsoRoot, CandidatesInOrderAndTheFirstThatQualifies)
{
    if (fs::exists("/jx_internal"))
        GTEST_SKIP() << "/jx_internal exists on this machine; the empty PATH element would qualify";
    struct Case {
        std::string cwd;
        std::optional<std::string> path;
        std::string argv0, found;       // found "": no root
        std::vector<std::string> dirs;  // "(...)": a candidate that could not be formed
    };
    const std::string no_path = "(PATH element longer than 1024 characters)",
                      no_exe = "(program directory longer than 1024 characters)";
    const Case cases[] = {
        {"work", R + "/exe", "jexley", R + "/work", {R + "/work", R + "/exe"}},
        {".", "a::b:c", nowhere, "b", {"/nonexistent", "a", "", "b", "c"}},
        {".", "c/:a:", nowhere, "c/", {"/nonexistent", "c", "a", ""}},
        {".", "/x\x1b[2J:/y", nowhere, "", {"/nonexistent", "/x?[2J", "/y"}},
        {".", std::nullopt, nowhere, "", {"/nonexistent"}},
        {".", "p1", "./bin/x", "", {R + "/./bin", "p1"}},
        {".", "p1:links", "jexley", R + "/real", {R, "p1", "links", R + "/real"}},
        {"w", "p1", R + "/links/rel", "sub", {R + "/links", "p1", "sub"}},
        {".", "p1", R + "/links/rel", "", {R + "/links", "p1", "sub"}},
        {"w", "p1", R + "/links/bare", "", {R + "/links", "p1", "(link target has no directory part)"}},
        {".", longdir + ":ok", nowhere, "ok", {"/nonexistent", no_path, "ok"}},
        {".", longdir, longdir + "/prog", "", {no_exe, no_path}},
        {".", d998, d998 + "/" + std::string(200, 'p'), d998, {d998, d998}},
        {".", d999, nowhere, "", {"/nonexistent", d999}},
    };
    for (const Case& c : cases) {
        cd(R + "/" + c.cwd);
        c.path ? setenv("PATH", c.path->c_str(), 1) : unsetenv("PATH");
        std::string want;
        for (const std::string& d : c.dirs)
            want += "  " + (d[0] == '(' ? d : d + "/jx_internal") + "\n";
        char buf[8192];
        EXPECT_EQ(jx_fso_describe_search(c.argv0.c_str(), buf, sizeof buf), want.size());
        EXPECT_EQ(buf, want) << c.argv0;
        EXPECT_EQ(jx_fso_init(c.argv0.c_str()), c.found.empty() ? 1 : 0) << c.argv0;
        EXPECT_EQ(fso.root_path, c.found) << c.argv0;
        if (!c.found.empty()) {
            EXPECT_EQ(fso.internal_path, c.found + "/jx_internal/");
            EXPECT_EQ(fso.cfg_path, c.found + "/jx_internal/cfg");
        }
    }
    const std::string full = "  /nonexistent/jx_internal\n  " + d999 + "/jx_internal\n";  // the last case
    char small[16];  // cut but terminated, and the length needed is still told
    EXPECT_EQ(jx_fso_describe_search(nowhere.c_str(), small, sizeof small), full.size());
    EXPECT_EQ(small, full.substr(0, 15));
    EXPECT_EQ(fso_test_dir((R + "/plain").c_str(), "jx_internal"), 1) << "a plain file is no directory";
    EXPECT_EQ(fso_test_dir((R + "/p1").c_str(), nullptr), 0);
    EXPECT_TRUE(fs::is_empty(R + "/p1")) << "probe file left behind";
}

TEST_F(FsoRoot, ConfigurationFieldsAreWrittenInPlace)
{
    cd(R + "/work");
    ASSERT_EQ(jx_fso_init("jexley"), 0);
    const std::string cfg = R + "/work/jx_internal/cfg", generated = "jexley123456789";
    auto field = [](uint8_t n, std::string dst) {
        jx_fso_read_cfg(n, dst.data(), dst.size());
        return dst;
    };
    EXPECT_EQ(field(0, generated), generated) << "no file: the generated name stays";
    jx_fso_store_cfg(0, "bob", 3);
    EXPECT_EQ(read_file(cfg), "bob");
    EXPECT_EQ(field(0, generated), std::string("bob\0\0\0\0\0\0\0\0\0\0\0\0", 15));
    write_file(cfg, std::string("\0bob", 4));
    EXPECT_EQ(field(0, generated), generated) << "first byte 0";
    // Bytes beyond offset 15 survive a rewrite of field 0; field 1 is at 15; others write nothing.
    write_file(cfg, "xxxxxxxxxxxxxxxTAIL!");
    jx_fso_store_cfg(0, "fifteencharsabc", 15);
    jx_fso_store_cfg(1, "ZZ", 2);
    jx_fso_store_cfg(7, "zzzz", 4);
    EXPECT_EQ(read_file(cfg), "fifteencharsabcZZIL!");
    EXPECT_EQ(field(1, "qqqqqq"), std::string("ZZIL!\0", 6));
    EXPECT_EQ(field(2, "qq"), "qq");
    fs::remove_all(R + "/work/jx_internal");
    jx_fso_store_cfg(0, "bob", 3);
    EXPECT_EQ(take_log(), "Config file could not be opened for writing\n");
}

TEST_F(FsoRoot, RemoveRefusesAPathItWouldCut)
{
    // The longest join that fits is 1023 characters (joined without a separator of its own); a
    // longer one is refused, so a cut-off path that happens to name a real file is not deleted.
    const std::string fits(1023 - d998.size() - 1, 'v');
    write_file(d998 + "/" + fits, "1");
    jx_fso_remove_file((fits + "X").c_str(), (d998 + "/").c_str());
    EXPECT_EQ(jx_fso_file_exists((d998 + "/" + fits).c_str()), 0);
    jx_fso_remove_file(fits.c_str(), (d998 + "/").c_str());
    EXPECT_EQ(jx_fso_file_exists((d998 + "/" + fits).c_str()), 1);
}

// One process per root: a held root names its holder from the lock file's record; the claim is
// taken once the holder lets go. msg/ and downloads/ are made at start; something else in their
// place is named. A root whose jx_internal cannot be written is told apart from no root at all.
TEST_F(FsoRoot, ClaimAndDirectoriesOfTheRoot)
{
    cd(R + "/work");
    ASSERT_EQ(jx_fso_init("jexley"), 0);
    const std::string lock = R + "/work/jx_internal/lock";
    write_file(lock, "4321 otherhost\n");
    const int other = open(lock.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(other, F_OFD_SETLK, &fl), 0);
    EXPECT_EQ(jx_fso_lock_root(), FSO_FAULT_LOCKED);
    EXPECT_EQ(std::make_tuple(jx_fso_fault()->holder.pid, std::string(jx_fso_fault()->holder.host)),
              std::make_tuple(4321L, std::string("otherhost")));
    close(other);
    ASSERT_EQ(jx_fso_lock_root(), FSO_FAULT_NONE);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(read_file(lock), std::to_string(getpid()) + " " + host + "\n");
    JXFsoHolder h{};
    EXPECT_TRUE(jx_fso_lock_holder(&h) && h.pid == getpid()) << "seen from another open file";

    EXPECT_EQ(jx_fso_dir_state("msg"), ENOENT);
    ASSERT_EQ(jx_fso_make_dirs(), FSO_FAULT_NONE);
    EXPECT_TRUE(fs::is_directory(R + "/work/msg") && fs::is_directory(R + "/work/downloads"));
    fs::remove(R + "/work/downloads");
    write_file(R + "/work/downloads", "x");
    EXPECT_EQ(jx_fso_make_dirs(), FSO_FAULT_NO_DIR);
    EXPECT_EQ(std::make_tuple(jx_fso_fault()->err, std::string(jx_fso_fault()->path)),
              std::make_tuple(ENOTDIR, R + "/work/downloads"));

    cd(R);
    setenv("PATH", "plain:a:b", 1);  // a: its probe file's place is taken by a directory
    char dir[JX_FSO_PATH_SIZE];
    int err = 0;
    EXPECT_TRUE(jx_fso_unwritable_root(nowhere.c_str(), dir, &err));
    EXPECT_EQ(std::make_tuple(std::string(dir), err), std::make_tuple(std::string("a"), EISDIR));
    setenv("PATH", "plain:b", 1);
    EXPECT_FALSE(jx_fso_unwritable_root(nowhere.c_str(), dir, &err));
}
