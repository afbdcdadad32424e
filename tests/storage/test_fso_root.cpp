// Storage root search, derived paths, configuration file and path-level file operations,
// on real directory trees with a controlled PATH and working directory.
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fso_fixture.hpp"

using fso_test::exists;
using fso_test::file_size;
using fso_test::read_bytes;
using fso_test::write_bytes;

namespace {

struct Cand {
    std::string dir;  // "<null>" when the candidate could not be formed
    uint8_t from;
    uint8_t status;
};

std::vector<Cand> walk(const char* argv0)
{
    std::vector<Cand> out;
    auto fn = [](const char* dir, uint8_t from, uint8_t status, void* arg) -> int {
        static_cast<std::vector<Cand>*>(arg)->push_back({dir ? dir : "<null>", from, status});
        return 0;
    };
    EXPECT_EQ(jx_fso_walk_roots(argv0, fn, &out), 1);
    return out;
}

std::string describe(const char* argv0)
{
    char buf[8192];
    size_t n = jx_fso_describe_search(argv0, buf, sizeof buf);
    EXPECT_LT(n, sizeof buf);
    EXPECT_EQ(n, strlen(buf));
    return buf;
}

bool top_has_internal()
{
    return exists("/jx_internal");
}

}  // namespace

class FsoRoot : public fso_test::TempTree {};

TEST_F(FsoRoot, BareNameAndRelativeInvocationStartAtWorkingDirectory)
{
    std::string exe = dir("exe");
    std::string work = dir("work");
    dir("work/jx_internal");
    write_bytes(exe + "/jexley", "x", 1);
    setenv("PATH", exe.c_str(), 1);
    cd(work);

    // Started by bare name: the working directory wins although the executable lies elsewhere.
    ASSERT_EQ(jx_fso_init("jexley"), 0);
    EXPECT_EQ(std::string(fso.root_path), work);
    EXPECT_EQ(std::string(fso.internal_path), work + "/jx_internal/");
    EXPECT_EQ(std::string(fso.cfg_path), work + "/jx_internal/cfg");
    EXPECT_STREQ(jx_fso_get_logging_path(), fso.internal_path);
    // The probe file is gone again.
    EXPECT_FALSE(exists(work + "/jx_internal/.jx_test_file"));

    // ./bin/x keeps the "./" as written.
    dir("work/bin/jx_internal");
    ASSERT_EQ(jx_fso_init("./bin/x"), 0);
    EXPECT_EQ(std::string(fso.root_path), work + "/./bin");
    EXPECT_EQ(std::string(fso.internal_path), work + "/./bin/jx_internal/");

    // An absolute invocation path is used as it is, cut at its last "/".
    dir("exe/jx_internal");
    ASSERT_EQ(jx_fso_init((exe + "/jexley").c_str()), 0);
    EXPECT_EQ(std::string(fso.root_path), exe);

    EXPECT_EQ(jx_fso_close(), 0);
    EXPECT_EQ(fso.root_path[0], '\0');
    EXPECT_EQ(fso.internal_path[0], '\0');
    EXPECT_EQ(fso.cfg_path[0], '\0');
}

TEST_F(FsoRoot, PathElementsInOrderIncludingEmptyOnes)
{
    std::string a = dir("a");
    std::string b = dir("b");
    std::string c = dir("c");
    setenv("PATH", (a + "::" + b).c_str(), 1);

    auto cands = walk("/nonexistent/prog");
    ASSERT_EQ(cands.size(), 4u);
    EXPECT_EQ(cands[0].dir, "/nonexistent");
    EXPECT_EQ(cands[0].from, FSO_FROM_EXEC);
    EXPECT_EQ(cands[1].dir, a);
    EXPECT_EQ(cands[2].dir, "");  // the empty element: the top directory
    EXPECT_EQ(cands[3].dir, b);
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(cands[i].from, FSO_FROM_PATH);

    EXPECT_EQ(describe("/nonexistent/prog"), "  /nonexistent/jx_internal\n  " + a +
                                                 "/jx_internal\n  /jx_internal\n  " + b + "/jx_internal\n");

    // Elements are not normalised: a trailing "/" stays, a trailing ":" adds an empty element.
    setenv("PATH", (c + "/:" + a + ":").c_str(), 1);
    cands = walk("/nonexistent/prog");
    ASSERT_EQ(cands.size(), 4u);
    EXPECT_EQ(cands[1].dir, c + "/");
    EXPECT_EQ(cands[2].dir, a);
    EXPECT_EQ(cands[3].dir, "");

    if (top_has_internal())
        GTEST_SKIP() << "/jx_internal exists on this machine; search results would differ";

    // First qualifying element wins; an earlier one without jx_internal is passed over.
    setenv("PATH", (a + "::" + b + ":" + c).c_str(), 1);
    dir("b/jx_internal");
    dir("c/jx_internal");
    ASSERT_EQ(jx_fso_chk_root("/nonexistent/prog"), 0);
    EXPECT_EQ(std::string(fso.root_path), b);
    dir("a/jx_internal");
    ASSERT_EQ(jx_fso_chk_root("/nonexistent/prog"), 0);
    EXPECT_EQ(std::string(fso.root_path), a);
    // "c/" is tested as written; the probe goes to c//jx_internal, which is the same directory.
    setenv("PATH", (c + "/").c_str(), 1);
    ASSERT_EQ(jx_fso_chk_root("/nonexistent/prog"), 0);
    EXPECT_EQ(std::string(fso.root_path), c + "/");

    // PATH unset: only the program directory is tried.
    unsetenv("PATH");
    cands = walk("/nonexistent/prog");
    ASSERT_EQ(cands.size(), 1u);
    EXPECT_EQ(jx_fso_chk_root("/nonexistent/prog"), 1);
}

TEST_F(FsoRoot, NoCandidateQualifies)
{
    if (top_has_internal())
        GTEST_SKIP() << "/jx_internal exists on this machine";
    std::string a = dir("a");
    dir("a/jx_internal_not");
    setenv("PATH", (a + ":").c_str(), 1);
    // A previous root is cleared by a failed search; the derived paths are not touched.
    strcpy(fso.root_path, "/old");
    strcpy(fso.internal_path, "/old/jx_internal/");
    EXPECT_EQ(jx_fso_init("/nonexistent/prog"), 1);
    EXPECT_EQ(fso.root_path[0], '\0');
    EXPECT_STREQ(fso.internal_path, "/old/jx_internal/");
}

TEST_F(FsoRoot, CandidateWhoseProbeCannotBeCreatedIsSkipped)
{
    std::string a = dir("a");
    std::string b = dir("b");
    dir("a/jx_internal");
    dir("b/jx_internal");
    setenv("PATH", (a + ":" + b).c_str(), 1);

    // A directory in the probe file's place makes creating it fail, for root as well.
    dir("a/jx_internal/.jx_test_file");
    ASSERT_EQ(jx_fso_chk_root("/nonexistent/prog"), 0);
    EXPECT_EQ(std::string(fso.root_path), b);
    EXPECT_EQ(fso_test_dir(a.c_str(), "jx_internal"), 1);
    EXPECT_EQ(fso_test_dir(b.c_str(), "jx_internal"), 0);
    // jx_internal as a plain file is no directory at all.
    std::filesystem::remove_all(b + "/jx_internal");
    write_bytes(b + "/jx_internal", "x", 1);
    EXPECT_EQ(fso_test_dir(b.c_str(), "jx_internal"), 1);
    // Without a subdirectory the probe goes straight into the directory.
    EXPECT_EQ(fso_test_dir(b.c_str(), nullptr), 0);
    EXPECT_FALSE(exists(b + "/.jx_test_file"));
    EXPECT_EQ(fso_test_dir((root + "/missing").c_str(), nullptr), 1);
    EXPECT_EQ(fso_test_dir(nullptr, nullptr), 1);
}

TEST_F(FsoRoot, NonWritableInternalDirectoryIsSkipped)
{
    std::string a = dir("a");
    std::string b = dir("b");
    dir("a/jx_internal");
    dir("b/jx_internal");
    namespace fs = std::filesystem;
    fs::permissions(root, fs::perms::all, fs::perm_options::replace);
    fs::permissions(a, fs::perms::all, fs::perm_options::replace);
    fs::permissions(b, fs::perms::all, fs::perm_options::replace);
    fs::permissions(b + "/jx_internal", fs::perms::all, fs::perm_options::replace);
    fs::permissions(a + "/jx_internal",
                    fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                        fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::replace);
    setenv("PATH", (a + ":" + b).c_str(), 1);

    // Root ignores permission bits, so the search runs in a child that drops to nobody.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        if (fso_test_dir(a.c_str(), "jx_internal") == 0)
            _exit(4);
        if (jx_fso_chk_root("/nonexistent/prog") != 0)
            _exit(1);
        _exit(std::string(fso.root_path) == b ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot drop privileges to test permission bits";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no root, 2: wrong root, 4: read-only dir accepted a probe";
}

TEST_F(FsoRoot, SymbolicLinkTargetDirectory)
{
    std::string links = dir("links");
    std::string real = dir("real");
    std::string p1 = dir("p1");
    dir("real/jx_internal");
    write_bytes(real + "/jexley", "x", 1);
    setenv("PATH", p1.c_str(), 1);

    // Own directory and PATH fail; the target's directory holds jx_internal.
    ASSERT_EQ(symlink((real + "/jexley").c_str(), (links + "/jexley").c_str()), 0);
    auto cands = walk((links + "/jexley").c_str());
    ASSERT_EQ(cands.size(), 3u);
    EXPECT_EQ(cands[0].dir, links);
    EXPECT_EQ(cands[1].dir, p1);
    EXPECT_EQ(cands[2].dir, real);
    EXPECT_EQ(cands[2].from, FSO_FROM_LINK);
    ASSERT_EQ(jx_fso_init((links + "/jexley").c_str()), 0);
    EXPECT_EQ(std::string(fso.root_path), real);

    // A relative target is taken relative to the working directory, not to the link.
    ASSERT_EQ(symlink("sub/prog", (links + "/rel").c_str()), 0);
    std::string w = dir("w");
    dir("w/sub/jx_internal");
    cd(w);
    ASSERT_EQ(jx_fso_chk_root((links + "/rel").c_str()), 0);
    EXPECT_STREQ(fso.root_path, "sub");
    cd(root);
    EXPECT_EQ(jx_fso_chk_root((links + "/rel").c_str()), 1);
    EXPECT_EQ(fso.root_path[0], '\0');

    // A target without "/" has no directory: skipped, even where a "prog/jx_internal" would pass.
    ASSERT_EQ(symlink("prog", (links + "/bare").c_str()), 0);
    dir("w/prog/jx_internal");
    dir("w/jx_internal");
    cd(w);
    cands = walk((links + "/bare").c_str());
    ASSERT_EQ(cands.size(), 3u);
    EXPECT_EQ(cands[2].status, FSO_CAND_NO_DIR);
    EXPECT_EQ(cands[2].dir, "<null>");
    EXPECT_EQ(jx_fso_chk_root((links + "/bare").c_str()), 1);
    EXPECT_EQ(fso.root_path[0], '\0');
    EXPECT_EQ(describe((links + "/bare").c_str()),
              "  " + links + "/jx_internal\n  " + p1 +
                  "/jx_internal\n  (link target has no directory part)\n");

    // Not a link at all: the search ends after PATH.
    EXPECT_EQ(walk((real + "/jexley").c_str()).size(), 2u);
}

TEST_F(FsoRoot, OverlongPathsAreRefusedNotCut)
{
    std::string ok = dir("ok");
    dir("ok/jx_internal");

    // A PATH element over 1024 characters is skipped although it holds jx_internal.
    std::string longdir = dir_of_length("l", 1030);
    ASSERT_EQ(mkdir((longdir + "/jx_internal").c_str(), 0755), 0);
    setenv("PATH", (longdir + ":" + ok).c_str(), 1);
    auto cands = walk("/nonexistent/prog");
    ASSERT_EQ(cands.size(), 3u);
    EXPECT_EQ(cands[1].status, FSO_CAND_TOO_LONG);
    ASSERT_EQ(jx_fso_chk_root("/nonexistent/prog"), 0);
    EXPECT_EQ(std::string(fso.root_path), ok);
    EXPECT_EQ(fso_test_dir(longdir.c_str(), "jx_internal"), 1);

    // The program directory over 1024: refused, not cut back to some ancestor.
    cands = walk((longdir + "/prog").c_str());
    EXPECT_EQ(cands[0].status, FSO_CAND_TOO_LONG);
    EXPECT_EQ(
        describe((longdir + "/prog").c_str()).rfind("  (program directory longer than 1024 characters)\n", 0),
        0u);

    // The probe path itself must fit: root of 998 characters gives a 1024-character probe.
    std::string d998 = dir_of_length("e", 998);
    std::string d999 = dir_of_length("f", 999);
    ASSERT_EQ(mkdir((d998 + "/jx_internal").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d999 + "/jx_internal").c_str(), 0755), 0);
    EXPECT_EQ(fso_test_dir(d998.c_str(), "jx_internal"), 0);
    EXPECT_EQ(fso_test_dir(d999.c_str(), "jx_internal"), 1);
    setenv("PATH", d998.c_str(), 1);
    ASSERT_EQ(jx_fso_init("/nonexistent/prog"), 0);
    EXPECT_EQ(std::string(fso.internal_path), d998 + "/jx_internal/");
    EXPECT_EQ(std::string(fso.cfg_path), d998 + "/jx_internal/cfg");

    // A long file name does not spoil a directory that fits.
    std::string argv0 = d998 + "/" + std::string(200, 'p');
    cands = walk(argv0.c_str());
    EXPECT_EQ(cands[0].status, FSO_CAND_OK);
    EXPECT_EQ(cands[0].dir, d998);

    // The text is always terminated, and the needed length is reported when it is cut.
    char small[16];
    size_t need = jx_fso_describe_search("/nonexistent/prog", small, sizeof small);
    EXPECT_GT(need, sizeof small);
    EXPECT_EQ(strlen(small), sizeof small - 1);
    EXPECT_EQ(jx_fso_describe_search("/nonexistent/prog", nullptr, 0), need);
}

TEST_F(FsoRoot, DescriptionShowsControlCharactersHarmlessly)
{
    setenv("PATH", "/x\x1b[2J:/y", 1);
    std::string d = describe("/nonexistent/prog");
    EXPECT_EQ(d, "  /nonexistent/jx_internal\n  /x?[2J/jx_internal\n  /y/jx_internal\n");
}

class FsoFiles : public fso_test::TempTree {
  protected:
    std::string work;
    void SetUp() override
    {
        fso_test::TempTree::SetUp();
        work = dir("w");
        dir("w/jx_internal");
        cd(work);
        ASSERT_EQ(jx_fso_init("jexley"), 0);
    }
    std::string cfg() const { return work + "/jx_internal/cfg"; }
};

TEST_F(FsoFiles, ReadConfigurationField)
{
    char name[15];
    memcpy(name, "jexley123456789", 15);

    // No file: the generated name stays.
    jx_fso_read_cfg(0, name, 15);
    EXPECT_EQ(memcmp(name, "jexley123456789", 15), 0);

    // Three bytes: the rest of the 15 comes back zero.
    write_bytes(cfg(), "bob", 3);
    jx_fso_read_cfg(0, name, 15);
    EXPECT_EQ(memcmp(name, "bob\0\0\0\0\0\0\0\0\0\0\0\0", 15), 0);

    // First byte 0: unchanged.
    memcpy(name, "jexley123456789", 15);
    write_bytes(cfg(), "\0bob", 4);
    jx_fso_read_cfg(0, name, 15);
    EXPECT_EQ(memcmp(name, "jexley123456789", 15), 0);

    // Field 1 starts at byte 15; unknown fields read nothing.
    write_bytes(cfg(), "aaaaaaaaaaaaaaaZZ", 17);
    char f1[4] = {'q', 'q', 'q', 'q'};
    jx_fso_read_cfg(1, f1, 4);
    EXPECT_EQ(memcmp(f1, "ZZ\0\0", 4), 0);
    char f2[2] = {'q', 'q'};
    jx_fso_read_cfg(2, f2, 2);
    EXPECT_EQ(memcmp(f2, "qq", 2), 0);
    // A file too short to reach field 1 leaves the destination alone.
    write_bytes(cfg(), "abc", 3);
    jx_fso_read_cfg(1, f2, 2);
    EXPECT_EQ(memcmp(f2, "qq", 2), 0);
}

TEST_F(FsoFiles, StoreConfigurationFieldInPlace)
{
    // Missing file: created with exactly the field written.
    char name[15] = {};
    memcpy(name, "alice", 5);
    jx_fso_store_cfg(0, name, 15);
    auto img = read_bytes(cfg());
    ASSERT_EQ(img.size(), 15u);
    EXPECT_EQ(memcmp(img.data(), "alice\0\0\0\0\0\0\0\0\0\0", 15), 0);

    // Bytes beyond offset 15 survive a rewrite of field 0.
    write_bytes(cfg(), "xxxxxxxxxxxxxxxTAIL!", 20);
    char full[15];
    memcpy(full, "fifteencharsabc", 15);
    jx_fso_store_cfg(0, full, 15);
    img = read_bytes(cfg());
    ASSERT_EQ(img.size(), 20u);
    EXPECT_EQ(std::string(img.begin(), img.end()), "fifteencharsabcTAIL!");

    // Field 1 at 15; other fields write nothing.
    jx_fso_store_cfg(1, "tail", 4);
    jx_fso_store_cfg(7, "zzzz", 4);
    img = read_bytes(cfg());
    EXPECT_EQ(std::string(img.begin(), img.end()), "fifteencharsabctail!");

    // Round trip through the reader.
    char back[15] = {};
    jx_fso_read_cfg(0, back, 15);
    EXPECT_EQ(memcmp(back, "fifteencharsabc", 15), 0);

    // No directory to create it in: logged, nothing else.
    open_log();
    std::filesystem::remove_all(work + "/jx_internal");
    jx_fso_store_cfg(0, name, 15);
    std::string log = take_log();
    EXPECT_NE(log.find("\tConfig file could not be opened for writing\r\n"), std::string::npos) << log;
    EXPECT_FALSE(exists(cfg()));
}

TEST_F(FsoFiles, FileExistsAndRemove)
{
    std::string d = dir("w/downloads") + "/";
    write_bytes(d + "a.bin", "1", 1);
    EXPECT_EQ(jx_fso_file_exists((d + "a.bin").c_str()), 0);
    EXPECT_EQ(jx_fso_file_exists((d + "b.bin").c_str()), 1);
    EXPECT_EQ(jx_fso_file_exists(nullptr), 1);

    // Joined without a separator of its own.
    jx_fso_remove_file("a.bin", d.c_str());
    EXPECT_EQ(jx_fso_file_exists((d + "a.bin").c_str()), 1);
    jx_fso_remove_file("missing", d.c_str());  // silently nothing

    // The longest join that fits is 1023 characters; one more is refused, and a cut-off path
    // that happens to name a real file is not deleted in its place.
    std::string deep = dir_of_length("deep", 900) + "/";
    std::string fits = std::string(1023 - deep.size(), 'v');
    write_bytes(deep + fits, "1", 1);
    jx_fso_remove_file(fits.c_str(), deep.c_str());
    EXPECT_FALSE(exists(deep + fits));

    write_bytes(deep + fits, "1", 1);
    std::string over = fits + "X";
    jx_fso_remove_file(over.c_str(), deep.c_str());
    EXPECT_TRUE(exists(deep + fits));
    EXPECT_EQ(file_size(deep + fits), 1);
}
