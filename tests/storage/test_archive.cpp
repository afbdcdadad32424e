// Folders packed into the outbox and unpacked into downloads/, and hostile archives refused.
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "foundation/log.hpp"
#include "storage/archive.hpp"

namespace fs = std::filesystem;

namespace {

// A root of its own (JEXLEY_HOME) with an "outside" file that nothing may ever touch.
class Archive : public ::testing::Test {
  protected:
    std::string root, dl;
    void SetUp() override
    {
        char tmpl[] = "/tmp/jx_arc_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl, dl = root + "/downloads/";
        setenv("JEXLEY_HOME", root.c_str(), 1);
        ASSERT_EQ(jx_fso_init("jexley"), 0);
        ASSERT_EQ(jx_fso_make_dirs() + jx_log_init(fso.internal_path), 0);
        put(root + "/outside", "KEEP");
    }
    void TearDown() override
    {
        (void)jx_log_close(), (void)jx_fso_close();
        setenv("JEXLEY_HOME", "", 1);
        fs::remove_all(root);
    }
    static void put(const std::string& path, const std::string& data) { std::ofstream(path) << data; }
    static std::string get(const std::string& path)
    {
        std::ifstream f(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    // Every entry below dir (links not followed): "d" for a folder, else the file's bytes.
    static std::map<std::string, std::string> tree(const std::string& dir)
    {
        std::map<std::string, std::string> t;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            t[fs::relative(e.path(), dir)] = e.is_directory() ? "d" : get(e.path());
        return t;
    }
    // Steps with no budget, one piece of work each, until the end; their number into *steps.
    template <class Job>
    static uint8_t run(Job* job, uint8_t (*step)(Job*, int64_t), int* steps = nullptr)
    {
        int n = 1;
        while (step(job, 0) == JX_ARC_MORE)
            n++;
        return steps != nullptr ? *steps = n : 0, job->state;
    }
};

size_t open_fds()
{
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// A tar of entries "<type><name>[=<data or link target>]": d folder, f file, l symbolic link,
// h hard link, c device, p FIFO.
void make_tar(const std::string& path, const std::vector<std::string>& entries)
{
    archive* a = archive_write_new();
    archive_write_set_format_gnutar(a);
    archive_write_open_filename(a, path.c_str());
    const std::map<char, unsigned> types = {{'d', AE_IFDIR}, {'f', AE_IFREG}, {'l', AE_IFLNK},
                                            {'h', AE_IFREG}, {'c', AE_IFCHR}, {'p', AE_IFIFO}};
    for (const std::string& row : entries) {
        const size_t eq = row.find('=');
        const std::string name = row.substr(1, eq - 1),
                          data = eq == std::string::npos ? "" : row.substr(eq + 1);
        archive_entry* e = archive_entry_new();
        archive_entry_copy_pathname(e, name.c_str());
        archive_entry_set_filetype(e, types.at(row[0]));
        archive_entry_set_perm(e, 0644);
        row[0] == 'l' ? archive_entry_copy_symlink(e, data.c_str()) : (void)0;
        row[0] == 'h' ? archive_entry_copy_hardlink(e, data.c_str()) : (void)0;
        archive_entry_set_size(e, row[0] == 'f' ? static_cast<la_int64_t>(data.size()) : 0);
        archive_write_header(a, e);
        archive_write_data(a, data.data(), row[0] == 'f' ? data.size() : 0);
        archive_entry_free(e);
    }
    archive_write_free(a);
}

}  // namespace

// Nested folders, an empty file and one of several pieces, UTF-8 names and a script: packed in
// many steps, unpacked byte for byte under the folder's name (then its free form), owner-only.
// Links, FIFOs (never opened) and the outbox archive itself are left out.
TEST_F(Archive, FolderRoundTripInSteps)
{
    const size_t fds = open_fds();
    const std::string src = root + "/Fotos été", big(3 * JX_ARC_PIECE + 17, 'b');
    fs::create_directories(src + "/a/b/c"), fs::create_directories(src + "/void"),
        fs::create_directories(src + "/日本");
    put(src + "/a/b/c/deep.txt", "deep"), put(src + "/empty", ""), put(src + "/big.bin", big);
    put(src + "/日本/メモ.txt", "こんにちは"), put(src + "/run.sh", "#!/bin/sh\n");
    fs::permissions(src + "/run.sh", fs::perms(0755));
    const auto want = tree(src);
    fs::create_symlink("/etc/passwd", src + "/link");
    ASSERT_EQ(mkfifo((src + "/pipe").c_str(), 0600), 0);
    fs::create_directory_symlink(root + "/jx_internal/outbox", src + "/out");

    JXPack p{};
    int steps = 0;
    ASSERT_EQ(jx_pack_begin(&p, (src + "/").c_str()), JX_ARC_MORE) << p.why;
    ASSERT_EQ(run(&p, jx_pack_step, &steps), JX_ARC_DONE) << p.why;
    EXPECT_EQ(std::string(p.name), "Fotos été.tar");
    EXPECT_EQ(p.path, root + "/jx_internal/outbox/Fotos été.tar");
    EXPECT_EQ(p.size, fs::file_size(p.path));
    EXPECT_EQ(p.entries, 11u);
    EXPECT_EQ(p.skipped, 3u);
    EXPECT_GE(steps, 4 + 11) << "a piece or an entry per step with no budget";
    EXPECT_EQ(fs::status(p.path).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(root + "/jx_internal/outbox").permissions(), fs::perms(0700));

    for (const char* taken : {"Fotos été", "Fotos été_(1)"}) {
        JXUnpack u{};
        ASSERT_EQ(jx_unpack_begin(&u, p.path), JX_ARC_MORE);
        ASSERT_EQ(run(&u, jx_unpack_step), JX_ARC_DONE) << u.why;
        EXPECT_EQ(std::string(u.name), taken);
        EXPECT_EQ(tree(dl + taken), want);
        for (const auto& [rel, kind] : want)
            EXPECT_EQ(fs::status(dl + taken + "/" + rel).permissions(),
                      fs::perms(kind == "d" || rel == "run.sh" ? 0700 : 0600))
                << rel;
    }
    // The upload's end removes the archive by name, and nothing but a plain name in the outbox.
    EXPECT_EQ(jx_outbox_remove(p.name), 0);
    EXPECT_EQ(jx_outbox_remove(p.name) + jx_outbox_remove("../outside"), 2);
    EXPECT_TRUE(fs::is_empty(root + "/jx_internal/outbox"));
    // What a crash left goes at the next start: files and links by name, a directory stays.
    const std::string ob = root + "/jx_internal/outbox/";
    put(ob + "left.tar", "x"), put(root + "/keep", "k");
    fs::create_symlink(root + "/keep", ob + "link.tar");
    fs::create_directory(ob + "d");
    EXPECT_EQ(jx_outbox_sweep(), 2);
    EXPECT_EQ(std::make_pair(tree(ob).size(), get(root + "/keep")), std::make_pair(size_t{1}, std::string("k")));
    EXPECT_EQ(open_fds(), fds);
}

// The size field of the second entry made to claim 8 GiB (octal), its header sum made again.
static void claim_8gib(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::string t{std::istreambuf_iterator<char>(f), {}};
    t.replace(512 + 124, 11, "77777777777").replace(512 + 148, 8, 8, ' ');
    unsigned sum = 0;
    for (size_t i = 512; i < 1024; i++)
        sum += static_cast<uint8_t>(t[i]);
    char field[8];
    snprintf(field, sizeof field, "%06o", sum);
    std::ofstream(path, std::ios::binary) << t.replace(512 + 148, 7, field, 7);
}

// Each archive is refused and says what; nothing is left in downloads/ and nothing is made or
// changed outside it.
TEST_F(Archive, HostileArchivesAreRefusedAndLeaveNothing)
{
    const std::string deep = [] {
        std::string s = "d";
        for (size_t i = 0; i < JX_ARC_DEPTH_MAX; i++)
            s += "/a";
        return s + "/x";
    }();
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"f/abs/x=1"}, "/abs/x: an absolute name"},
        {{"f../x=1"}, "../x: a \"..\" in the name"},
        {{"dd/", "fd/../../x=1"}, "d/../../x: a \"..\" in the name"},
        {{"dd/", "ld/l=" + root, "fd/l/outside=BAD"}, "d/l: a symbolic link"},
        {{"dd/", "hd/p=/etc/passwd"}, "d/p: a hard link"},
        {{"dd/", "cd/dev"}, "d/dev: a device file"},
        {{"dd/", "pd/fifo"}, "d/fifo: a FIFO"},
        {{"dd/", "fd/f=1", "fd/f/x=1"}, "d/f/x: a path through a file"},
        {{"dd/", "fd/x=1", "fd/x=2"}, "d/x: twice in the archive"},
        {{"dd/", "fe/x=1"}, "e/x: outside the archive's one folder"},
        {{"fx=1"}, "x: a file outside a folder"},
        {{"dd/", "fd/a\x1b[2Jb=1"}, "d/a?[2Jb: a control character in the name"},
        {{"dd/", "fd/a\u009b2Jb=1"}, "d/a?2Jb: a control character in the name"},
        {{"dd/", "fd/invoice\u202efdp.exe=1"}, "d/invoice?fdp.exe: a control character in the name"},
        {{"dd/", "fd/a\u200bb=1"}, "d/a\u200bb: an invisible character in the name"},
        {{"dd/", "fd/a\xff=1"}, "d/a?: a name that is not UTF-8"},
        {{"dd/", "f" + deep + "=1"}, deep + ": folders nested too deep"},
        {{"dd/", "fd/big=0123456789"}, "d/big: more data than the archive holds"},
        {{}, "h.tar: holds no folder"},
    };
    const auto count = [&] { return std::distance(fs::directory_iterator(root), {}); };
    const auto before = count();
    for (const auto& [entries, why] : rows) {
        make_tar(dl + "h.tar", entries);
        if (why.find("more data") != std::string::npos)
            claim_8gib(dl + "h.tar");
        JXUnpack u{};
        ASSERT_EQ(jx_unpack_begin(&u, (dl + "h.tar").c_str()), JX_ARC_MORE);
        EXPECT_EQ(run(&u, jx_unpack_step), entries.empty() ? JX_ARC_BROKEN : JX_ARC_REFUSED) << why;
        EXPECT_EQ(std::string(u.why), why);
        fs::remove(dl + "h.tar");
        EXPECT_TRUE(fs::is_empty(dl) && count() == before && get(root + "/outside") == "KEEP") << why;
    }
    EXPECT_FALSE(fs::exists("/abs"));
}

// No name planted in the outbox, nor the outbox itself as a link, is written through; cancel and a
// failure remove the partial archive; an archive packed into the folder leaves itself out.
TEST_F(Archive, OutboxIsNeverWrittenThroughAndPartialArchivesGo)
{
    const std::string box = root + "/jx_internal/outbox", src = root + "/F";
    fs::create_directories(src);
    put(src + "/x", std::string(3 * JX_ARC_PIECE, 'x'));
    fs::create_directory_symlink(dl, box);
    JXPack p{};
    EXPECT_EQ(jx_pack_begin(&p, src.c_str()), JX_ARC_TARGET);
    EXPECT_EQ(std::string(p.why), "jx_internal/outbox: is a symbolic link");
    fs::remove(box);
    fs::create_directory(box);
    fs::create_symlink(root + "/outside", box + "/F.tar");
    put(box + "/F_(1).tar", "MINE");
    ASSERT_EQ(jx_pack_begin(&p, src.c_str()), JX_ARC_MORE);
    EXPECT_EQ(std::string(p.name), "F_(2).tar");
    EXPECT_EQ(jx_pack_step(&p, 0), JX_ARC_MORE);
    jx_pack_cancel(&p);
    EXPECT_FALSE(fs::exists(box + "/F_(2).tar"));
    EXPECT_EQ(get(root + "/outside") + get(box + "/F_(1).tar"), "KEEPMINE");
    if (geteuid() != 0) {  // root reads any file
        fs::permissions(src + "/x", fs::perms::none);
        ASSERT_EQ(jx_pack_begin(&p, src.c_str()), JX_ARC_MORE);
        EXPECT_EQ(run(&p, jx_pack_step), JX_ARC_UNREADABLE);
        EXPECT_EQ(std::string(p.why), "F/x: Permission denied");
        EXPECT_FALSE(fs::exists(box + "/F_(2).tar"));
    }
    ASSERT_EQ(jx_pack_begin(&p, (root + "/jx_internal").c_str()), JX_ARC_MORE);
    ASSERT_EQ(run(&p, jx_pack_step), JX_ARC_DONE) << p.why;
    JXUnpack u{};
    ASSERT_EQ(jx_unpack_begin(&u, p.path), JX_ARC_MORE);
    ASSERT_EQ(run(&u, jx_unpack_step), JX_ARC_DONE) << u.why;
    EXPECT_EQ(tree(dl + "jx_internal/outbox"), (std::map<std::string, std::string>{{"F_(1).tar", "MINE"}}));
}
