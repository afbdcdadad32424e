// Storage root search, derived paths, configuration file and path-level file operations,
// on real directory trees with a controlled PATH and working directory.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fso_fixture.hpp"

using fso_test::read_bytes;
using fso_test::write_bytes;
namespace fs = std::filesystem;

namespace {

// The search's own account of its candidates, in order.
std::string describe(const std::string& argv0)
{
    char buf[8192];
    const size_t need = jx_fso_describe_search(argv0.c_str(), buf, sizeof buf);
    EXPECT_EQ(need, strlen(buf));
    return buf;
}

// The text describe() gives for these candidate directories; a "(...)" entry is a note.
std::string where(std::initializer_list<std::string> dirs)
{
    std::string out;
    for (const std::string& d : dirs)
        out += "  " + (d[0] == '(' ? d : d + "/jx_internal") + "\n";
    return out;
}

const char* const k_nowhere = "/nonexistent/prog";

}  // namespace

class FsoRoot : public fso_test::TempTree {};

TEST_F(FsoRoot, BareNameAndRelativeInvocationStartAtWorkingDirectory)
{
    const std::string exe = dir("exe");
    const std::string work = dir("work");
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
    EXPECT_FALSE(fs::exists(work + "/jx_internal/.jx_test_file")) << "the probe file is gone again";

    // ./bin/x keeps the "./" as written.
    dir("work/bin/jx_internal");
    ASSERT_EQ(jx_fso_init("./bin/x"), 0);
    EXPECT_EQ(std::string(fso.internal_path), work + "/./bin/jx_internal/");

    // An absolute invocation path is used as it is, cut at its last "/".
    dir("exe/jx_internal");
    ASSERT_EQ(jx_fso_init((exe + "/jexley").c_str()), 0);
    EXPECT_EQ(std::string(fso.root_path), exe);

    EXPECT_EQ(jx_fso_close(), 0);
    EXPECT_EQ(fso.root_path[0] | fso.internal_path[0] | fso.cfg_path[0], '\0');
}

TEST_F(FsoRoot, PathElementsInOrderIncludingEmptyOnes)
{
    const std::string a = dir("a"), b = dir("b"), c = dir("c");
    setenv("PATH", (a + "::" + b).c_str(), 1);
    // The empty element is the top directory.
    EXPECT_EQ(describe(k_nowhere), where({"/nonexistent", a, "", b}));
    // Elements are not normalised: a trailing "/" stays, a trailing ":" adds an empty element.
    setenv("PATH", (c + "/:" + a + ":").c_str(), 1);
    EXPECT_EQ(describe(k_nowhere), where({"/nonexistent", c, a, ""}));
    // Hostile text from the environment never reaches the terminal as an escape sequence.
    setenv("PATH", "/x\x1b[2J:/y", 1);
    EXPECT_EQ(describe(k_nowhere), where({"/nonexistent", "/x?[2J", "/y"}));

    if (fs::exists("/jx_internal"))
        GTEST_SKIP() << "/jx_internal exists on this machine; search results would differ";

    // First qualifying element wins. A directory in the probe file's place makes creating it fail
    // (for root as well), so a is passed over.
    setenv("PATH", (a + "::" + b + ":" + c).c_str(), 1);
    dir("a/jx_internal/.jx_test_file");
    dir("b/jx_internal");
    dir("c/jx_internal");
    ASSERT_EQ(jx_fso_chk_root(k_nowhere), 0);
    EXPECT_EQ(std::string(fso.root_path), b);
    // "c/" is tested as written; the probe goes to c//jx_internal, which is the same directory.
    setenv("PATH", (c + "/").c_str(), 1);
    ASSERT_EQ(jx_fso_chk_root(k_nowhere), 0);
    EXPECT_EQ(std::string(fso.root_path), c + "/");

    // PATH unset: only the program directory is tried. A failed search clears an earlier root;
    // the derived paths are not touched.
    unsetenv("PATH");
    EXPECT_EQ(describe(k_nowhere), where({"/nonexistent"}));
    strcpy(fso.internal_path, "/old/jx_internal/");
    EXPECT_EQ(jx_fso_init(k_nowhere), 1);
    EXPECT_EQ(fso.root_path[0], '\0');
    EXPECT_STREQ(fso.internal_path, "/old/jx_internal/");
}

TEST_F(FsoRoot, ProbeNeedsAWritableDirectory)
{
    const std::string b = dir("b");
    dir("a/jx_internal/.jx_test_file");
    EXPECT_EQ(fso_test_dir((root + "/a").c_str(), "jx_internal"), 1);
    write_bytes(b + "/jx_internal", "x", 1);
    EXPECT_EQ(fso_test_dir(b.c_str(), "jx_internal"), 1) << "a plain file is no directory";
    // Without a subdirectory the probe goes straight into the directory, and is removed again.
    EXPECT_EQ(fso_test_dir(b.c_str(), nullptr), 0);
    EXPECT_FALSE(fs::exists(b + "/.jx_test_file"));
    EXPECT_EQ(fso_test_dir((root + "/missing").c_str(), nullptr), 1);
    EXPECT_EQ(fso_test_dir(nullptr, nullptr), 1);
}

TEST_F(FsoRoot, SymbolicLinkTargetDirectory)
{
    const std::string links = dir("links"), real = dir("real"), p1 = dir("p1");
    dir("real/jx_internal");
    write_bytes(real + "/jexley", "x", 1);
    setenv("PATH", p1.c_str(), 1);

    // Own directory and PATH fail; the target's directory holds jx_internal.
    ASSERT_EQ(symlink((real + "/jexley").c_str(), (links + "/jexley").c_str()), 0);
    EXPECT_EQ(describe(links + "/jexley"), where({links, p1, real}));
    ASSERT_EQ(jx_fso_init((links + "/jexley").c_str()), 0);
    EXPECT_EQ(std::string(fso.root_path), real);
    // Not a link at all: the search ends after PATH.
    EXPECT_EQ(describe(real + "/jexley"), where({real, p1}));

    // Started by bare name through a link on PATH, as a shell runs it: the link is found on PATH.
    ASSERT_EQ(chmod((real + "/jexley").c_str(), 0755), 0);
    setenv("PATH", (p1 + ":" + links).c_str(), 1);
    cd(root);
    EXPECT_EQ(describe("jexley"), where({root, p1, links, real}));
    ASSERT_EQ(jx_fso_chk_root("jexley"), 0);
    EXPECT_EQ(std::string(fso.root_path), real);
    setenv("PATH", p1.c_str(), 1);

    // A relative target is taken relative to the working directory, not to the link.
    ASSERT_EQ(symlink("sub/prog", (links + "/rel").c_str()), 0);
    const std::string w = dir("w");
    dir("w/sub/jx_internal");
    cd(w);
    ASSERT_EQ(jx_fso_chk_root((links + "/rel").c_str()), 0);
    EXPECT_STREQ(fso.root_path, "sub");
    cd(root);
    EXPECT_EQ(jx_fso_chk_root((links + "/rel").c_str()), 1);

    // A target without "/" has no directory: skipped, even where a "prog/jx_internal" would pass.
    ASSERT_EQ(symlink("prog", (links + "/bare").c_str()), 0);
    dir("w/prog/jx_internal");
    dir("w/jx_internal");
    cd(w);
    EXPECT_EQ(describe(links + "/bare"), where({links, p1, "(link target has no directory part)"}));
    EXPECT_EQ(jx_fso_chk_root((links + "/bare").c_str()), 1);
    EXPECT_EQ(fso.root_path[0], '\0');
}

TEST_F(FsoRoot, OverlongPathsAreRefusedNotCut)
{
    const std::string ok = dir("ok");
    dir("ok/jx_internal");
    // A PATH element over 1024 characters is skipped although it holds jx_internal.
    const std::string longdir = dir_of_length("l", 1030);
    fs::create_directory(longdir + "/jx_internal");
    setenv("PATH", (longdir + ":" + ok).c_str(), 1);
    EXPECT_EQ(describe(k_nowhere), where({"/nonexistent", "(PATH element longer than 1024 characters)", ok}));
    ASSERT_EQ(jx_fso_chk_root(k_nowhere), 0);
    EXPECT_EQ(std::string(fso.root_path), ok);
    EXPECT_EQ(fso_test_dir(longdir.c_str(), "jx_internal"), 1);
    // The program directory over 1024: refused, not cut back to some ancestor.
    EXPECT_EQ(describe(longdir + "/prog"), where({"(program directory longer than 1024 characters)",
                                                  "(PATH element longer than 1024 characters)", ok}));

    // The probe path itself must fit: root of 998 characters gives a 1024-character probe.
    const std::string d998 = dir_of_length("e", 998), d999 = dir_of_length("f", 999);
    fs::create_directory(d998 + "/jx_internal");
    fs::create_directory(d999 + "/jx_internal");
    EXPECT_EQ(fso_test_dir(d998.c_str(), "jx_internal"), 0);
    EXPECT_EQ(fso_test_dir(d999.c_str(), "jx_internal"), 1);
    setenv("PATH", d998.c_str(), 1);
    ASSERT_EQ(jx_fso_init(k_nowhere), 0);
    EXPECT_EQ(std::string(fso.cfg_path), d998 + "/jx_internal/cfg");
    // A long file name does not spoil a directory that fits.
    EXPECT_EQ(describe(d998 + "/" + std::string(200, 'p')), where({d998, d998}));

    // The text is always terminated, and the needed length is reported when it is cut.
    char small[16];
    const size_t need = jx_fso_describe_search(k_nowhere, small, sizeof small);
    EXPECT_EQ(need, describe(k_nowhere).size());
    EXPECT_EQ(strlen(small), sizeof small - 1);
    EXPECT_EQ(jx_fso_describe_search(k_nowhere, nullptr, 0), need);
}

class FsoFiles : public fso_test::TempTree {
  protected:
    std::string work, cfg;
    void SetUp() override
    {
        fso_test::TempTree::SetUp();
        work = dir("w");
        dir("w/jx_internal");
        cfg = work + "/jx_internal/cfg";
        cd(work);
        ASSERT_EQ(jx_fso_init("jexley"), 0);
    }
};

TEST_F(FsoFiles, ConfigurationFieldsAreReadAndWrittenInPlace)
{
    auto field = [](uint8_t n, std::string dst) {
        jx_fso_read_cfg(n, dst.data(), dst.size());
        return dst;
    };
    auto image = [&] {
        const auto b = read_bytes(cfg);
        return std::string(b.begin(), b.end());
    };
    const std::string generated = "jexley123456789";
    EXPECT_EQ(field(0, generated), generated) << "no file: the generated name stays";
    // A missing file is created with exactly the field written; the rest of the 15 reads as zero.
    jx_fso_store_cfg(0, "bob", 3);
    EXPECT_EQ(image(), "bob");
    EXPECT_EQ(field(0, generated), std::string("bob\0\0\0\0\0\0\0\0\0\0\0\0", 15));
    write_bytes(cfg, "\0bob", 4);
    EXPECT_EQ(field(0, generated), generated) << "first byte 0";

    // Bytes beyond offset 15 survive a rewrite of field 0; field 1 is at 15; others write nothing.
    write_bytes(cfg, "xxxxxxxxxxxxxxxTAIL!", 20);
    jx_fso_store_cfg(0, "fifteencharsabc", 15);
    jx_fso_store_cfg(1, "ZZ", 2);
    jx_fso_store_cfg(7, "zzzz", 4);
    EXPECT_EQ(image(), "fifteencharsabcZZIL!");
    EXPECT_EQ(field(1, "qqqqqq"), std::string("ZZIL!\0", 6));
    EXPECT_EQ(field(2, "qq"), "qq");
    // A file too short to reach field 1 leaves the destination alone.
    write_bytes(cfg, "abc", 3);
    EXPECT_EQ(field(1, "qq"), "qq");

    // No directory to create it in: logged, nothing else.
    open_log();
    fs::remove_all(work + "/jx_internal");
    jx_fso_store_cfg(0, "bob", 3);
    EXPECT_NE(take_log().find("\tConfig file could not be opened for writing\r\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(cfg));
}

TEST_F(FsoFiles, FileExistsAndRemove)
{
    const std::string d = dir("w/downloads") + "/";
    write_bytes(d + "a.bin", "1", 1);
    EXPECT_EQ(jx_fso_file_exists((d + "a.bin").c_str()), 0);
    EXPECT_EQ(jx_fso_file_exists((d + "b.bin").c_str()), 1);
    EXPECT_EQ(jx_fso_file_exists(nullptr), 1);
    // Joined without a separator of its own.
    jx_fso_remove_file("a.bin", d.c_str());
    EXPECT_EQ(jx_fso_file_exists((d + "a.bin").c_str()), 1);

    // The longest join that fits is 1023 characters; one more is refused, and a cut-off path
    // that happens to name a real file is not deleted in its place.
    const std::string deep = dir_of_length("deep", 900) + "/";
    const std::string fits = std::string(1023 - deep.size(), 'v');
    write_bytes(deep + fits, "1", 1);
    jx_fso_remove_file((fits + "X").c_str(), deep.c_str());
    EXPECT_TRUE(fs::exists(deep + fits));
    jx_fso_remove_file(fits.c_str(), deep.c_str());
    EXPECT_FALSE(fs::exists(deep + fits));
}
