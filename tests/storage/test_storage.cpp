// The storage layer on real directory trees with a controlled PATH and working directory: the root
// search, the configuration file, the root's claim and directories; the channel message store (file
// images, the ring, updates, reads by position, damaged and cut files, crashes at any point); and
// the file side of transfers (describing and hashing a file to offer, free names, whole segments).
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "foundation/log.hpp"
#include "foundation/sha256.hpp"
#include "storage/fso.hpp"
#include "storage/transfer_files.hpp"

namespace fs = std::filesystem;

static JXStoredMsg make_msg(uint8_t type, uint64_t id, const std::string& text, const char* user = "p")
{
    JXStoredMsg m{type, id, inet_addr("10.0.0.9"), 1700000000, {}, {}};
    snprintf(m.username, sizeof m.username, "%s", user);
    memcpy(m.text, text.data(), text.size());
    return m;
}

// img with the header numbers put in (least significant byte first) and m in slot `last`.
static std::string put(std::string img, uint32_t last, uint32_t count, uint32_t cap,
                       const JXStoredMsg* m = nullptr)
{
    for (uint32_t i = 0, v[3] = {last, count, cap}; i < 12; ++i)
        img[i] = static_cast<char>(v[i / 4] >> (8 * (i % 4)));
    if (m != nullptr)
        (void)jx_fso_serialize(reinterpret_cast<uint8_t*>(&img[last * 1600]), 1600, m);
    return img;
}

// A fresh storage root under /tmp (jx_internal holding the log, msg, downloads), found from a
// program path inside it. The working directory, the environment, fso and the log are put back
// when the test ends, so cases cannot leak into each other. No JEXLEY_HOME, and a data directory
// that cannot be made (it lies under a file): a search that fails makes nothing in the real home.
class Storage : public ::testing::Test {
  protected:
    std::string root;
    fs::path saved_cwd = fs::current_path();
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_env;
    const std::string empty = put(std::string(JX_MSG_FILE_SIZE, '\0'), 0, 0, 100);
    void SetUp() override
    {
        for (const char* name : {"PATH", "JEXLEY_HOME", "XDG_DATA_HOME", "HOME"})
            saved_env.emplace_back(name, getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt);
        char tmpl[] = "/tmp/jx_fso_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        write_file(root + "/nodata", "");
        env("JEXLEY_HOME", std::nullopt), env("XDG_DATA_HOME", root + "/nodata");
        dir("msg"), dir("downloads");
        ASSERT_EQ(jx_log_init(dir("jx_internal").c_str()), 0);
        ASSERT_EQ(jx_fso_init((root + "/jexley").c_str()), 0);
    }
    void TearDown() override
    {
        (void)jx_log_close();
        (void)jx_fso_close();
        fs::current_path(saved_cwd);
        for (const auto& [name, value] : saved_env)
            env(name.c_str(), value);
        fs::remove_all(root);
    }
    static void env(const char* name, const std::optional<std::string>& value)
    {
        value ? (void)setenv(name, value->c_str(), 1) : (void)unsetenv(name);
    }
    std::string dir(const std::string& r) { return fs::create_directories(root + "/" + r), root + "/" + r; }
    void cd(const std::string& path) { ASSERT_EQ(chdir(path.c_str()), 0) << path; }
    // The whole file, or "none"; a runaway file (gigabytes of holes) fails instead of stalling.
    static std::string read_file(const std::string& path)
    {
        std::error_code ec;
        if (const auto n = fs::file_size(path, ec); ec || n > (1u << 24))
            return ec ? "none" : "runaway";
        std::ifstream f(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    static void write_file(const std::string& path, const std::string& data) { std::ofstream(path) << data; }
    // The messages logged since the last call, one per line, without their time stamps.
    std::string take_log()
    {
        const std::string log = read_file(root + "/jx_internal/log");
        write_file(root + "/jx_internal/log", "");
        return std::regex_replace(log, std::regex("[^\t\n]*\t([^\r\n]*)\r\n"), "$1\n");
    }
    std::string file(const std::string& name) const { return root + "/msg/" + name; }
    std::string image(const std::string& name) const { return read_file(file(name)); }
    // Texts "m<id>", filled up to len with a letter of their own so that halves of two tell apart.
    void store_n(const std::string& name, uint32_t from, uint32_t to, size_t len = 0)
    {
        for (uint32_t i = from; i <= to; ++i) {
            std::string t = "m" + std::to_string(i);
            const JXStoredMsg m =
                make_msg(MSG_RECEIVED, i, t.append(len - std::min(len, t.size()), 'a' + i % 26));
            jx_fso_store_msg(&m, name.c_str());
        }
    }
    // "type id addr time user text", or the error; the record holds garbage first, so every field
    // must come from the read.
    std::string read(uint16_t pos, const std::string& name)
    {
        JXStoredMsg m;
        memset(&m, 0x5A, sizeof m);
        const uint8_t rc = jx_fso_read_msg(pos, name.c_str(), &m);
        return rc ? "error " + std::to_string(rc)
                  : std::to_string(m.type) + " " + std::to_string(m.id) + " " + inet_ntoa(in_addr{m.addr}) +
                        " " + std::to_string(m.time) + " " + m.username + " " + m.text;
    }
    // Stores a long text in a child SIGKILLed once it has made k system calls, for k = 0, 1, ...
    // Each kill must leave what whole writes make: a new file absent or complete, the slot old or
    // new, and written before the header that counts it.
    void crash_anywhere(const std::string& name)
    {
        const std::string before = image(name), base = before == "none" ? empty : before;
        store_n(name, 500, 500, 1500);
        const std::string after = image(name),
                          ok[] = {before, base, base.substr(0, 8) + after.substr(8), after};
        for (int k = 0;; ++k) {
            before == "none" ? (void)fs::remove(file(name)) : write_file(file(name), before);
            const pid_t pid = fork();
            if (pid == 0) {
                if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 && raise(SIGSTOP) == 0)
                    store_n(name, 500, 500, 1500);
                _exit(0);
            }
            int st = 0;
            // Stop 0 is the child's SIGSTOP; then each call stops on its way in and on its way out.
            for (int i = 0; waitpid(pid, &st, 0) == pid && WIFSTOPPED(st); ++i) {
                ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_EXITKILL);
                i == 2 * k ? kill(pid, SIGKILL) : ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
            }
            if (k == 0 && !WIFSIGNALED(st))
                GTEST_SKIP() << "ptrace is not permitted here";
            if (!WIFSIGNALED(st))
                break;  // the store ended before its k-th call
            ASSERT_NE(std::find(std::begin(ok), std::end(ok), image(name)), std::end(ok))
                << "killed at " << k;
        }
        EXPECT_TRUE(image(name) == after);
    }
};

// One tree for every case, R, the working directory at its top: roots that qualify, ones that look
// alike but do not, and links; relative PATH elements are tested as written, so from R. Each case:
// the candidates the search describes, in order, and the first that qualifies. A bare name starts
// at the working directory; PATH elements are taken as written, "" being the top directory;
// escapes never reach the terminal; the data directory comes last (here it cannot be made); a link is
// also found on PATH, and its relative target is relative to the working directory; too long paths
// are skipped, not cut (the probe path of d998 is exactly 1024). A root whose jx_internal cannot be
// written is told apart from no root at all.
TEST_F(Storage, RootCandidatesInOrderAndTheFirstThatQualifies)
{
    if (fs::exists("/jx_internal"))
        GTEST_SKIP() << "/jx_internal exists on this machine; the empty PATH element would qualify";
    const std::string R = dir("t"), nowhere = "/nonexistent/prog";
    // In a/ a directory takes the probe file's place: creating it fails, for root as well.
    for (const char* d : {"work/jx_internal", "exe/jx_internal", "b/jx_internal", "c/jx_internal", "p1",
                          "real/jx_internal", "w/jx_internal", "w/sub/jx_internal", "w/prog/jx_internal",
                          "ok/jx_internal", "links", "plain", "a/jx_internal/.jx_test_file"})
        dir(std::string("t/") + d);
    write_file(R + "/plain/jx_internal", "x");
    write_file(R + "/real/jexley", "x");
    chmod((R + "/real/jexley").c_str(), 0755);
    for (auto [target, link] :
         {std::pair{R + "/real/jexley", "jexley"}, {"sub/prog", "rel"}, {"prog", "bare"}})
        fs::create_symlink(target, R + "/links/" + link);
    std::string longdir, d998, d999;
    for (auto [d, len] : {std::pair{&longdir, size_t{1030}}, {&d998, size_t{998}}, {&d999, size_t{999}}}) {
        for (*d = R; d->size() < len;)  // components of 200 at most
            *d += "/" + std::string(std::min<size_t>(200, len - d->size() - 1), 'd' + len % 3);
        fs::create_directories(*d + "/jx_internal");
    }
    // {working directory, PATH, argv0, root found ("": none), candidates ("(...)": one
    // that could not be formed)}
    const std::string no_path = "(PATH element longer than 1024 characters)",
                      no_exe = "(program directory longer than 1024 characters)";
    const std::tuple<std::string, std::string, std::string, std::string, std::vector<std::string>> cases[] = {
        {"work", R + "/exe", "jexley", R + "/work", {R + "/work", R + "/exe"}},
        {".", "a::b:c", nowhere, "b", {"/nonexistent", "a", "", "b", "c"}},
        {".", "/x\x1b[2J:/y", nowhere, "", {"/nonexistent", "/x?[2J", "/y"}},
        {".", "p1", "./bin/x", "", {R + "/./bin", "p1"}},
        {".", "p1:links", "jexley", R + "/real", {R, "p1", "links", R + "/real"}},
        {"w", "p1", R + "/links/rel", "sub", {R + "/links", "p1", "sub"}},
        {"w", "p1", R + "/links/bare", "", {R + "/links", "p1", "(link target has no directory part)"}},
        {".", longdir + ":ok", nowhere, "ok", {"/nonexistent", no_path, "ok"}},
        {".", longdir, longdir + "/prog", "", {no_exe, no_path}},
        {".", d998, d998 + "/" + std::string(200, 'p'), d998, {d998, d998}},
        {".", d999, nowhere, "", {"/nonexistent", d999}},
    };
    for (const auto& [cwd, path, argv0, found, dirs] : cases) {
        cd(R + "/" + cwd);
        setenv("PATH", path.c_str(), 1);
        std::string want;
        for (const std::string& d : dirs)
            want += "  " + (d[0] == '(' ? d : d + "/jx_internal") + "\n";
        want += "  " + root + "/nodata/jexley/jx_internal (made when missing)\n";
        char buf[8192];
        EXPECT_EQ(jx_fso_describe_search(argv0.c_str(), buf, sizeof buf), want.size());
        EXPECT_EQ(buf, want) << argv0;
        EXPECT_EQ(jx_fso_init(argv0.c_str()), found.empty() ? 1 : 0) << argv0;
        EXPECT_EQ(fso.root_path, found) << argv0;
    }

    // The longest path a removal joins is 1023 characters; a longer one is refused, not cut (a cut
    // path may name some other file).
    const std::string v(1023 - d998.size() - 1, 'v');
    write_file(d998 + "/" + v, "1");
    jx_fso_remove_file((v + "X").c_str(), (d998 + "/").c_str());
    EXPECT_TRUE(fs::exists(d998 + "/" + v));

    cd(R);
    setenv("PATH", "plain:a:b", 1);  // a: its probe file's place is taken by a directory
    char u[JX_FSO_PATH_SIZE];
    JXSafeWhy why{};
    EXPECT_TRUE(jx_fso_unusable_root(nowhere.c_str(), u, &why) && u == std::string("a") && why.err == EISDIR);
    setenv("PATH", "plain:b", 1);
    EXPECT_FALSE(jx_fso_unusable_root(nowhere.c_str(), u, &why));
}

// A root made on first use: JEXLEY_HOME (relative, with a trailing "/") is the only candidate, over
// a jx_internal beside the program; otherwise the data directory comes last, $XDG_DATA_HOME/jexley
// or, when XDG_DATA_HOME is not absolute, ~/.local/share/jexley. What is made is 0700, from the
// first missing directory down. The doctor's search (no make) makes nothing but knows what a start
// would make; something in the way is the failed start's fault; a jx_internal others may write is
// not taken even where the user named it. Each case: what the search describes, then why it failed.
TEST_F(Storage, FirstUseRootsAreMadeOwnerOnly)
{
    const std::string R = dir("u"), no = "-", made = " (made when missing)\n";
    dir("u/bin/jx_internal"), dir("u/gw/jx_internal");
    fs::permissions(R + "/gw/jx_internal", fs::perms::group_write, fs::perm_options::add);
    write_file(R + "/file", "x");
    cd(R);
    setenv("PATH", (R + "/none").c_str(), 1);
    const std::string searched = "  " + R + "/jx_internal\n  " + R + "/none/jx_internal\n  ";
    // {JEXLEY_HOME, XDG_DATA_HOME, HOME, make, root ("": none), first directory made, outcome}
    const std::tuple<std::string, std::string, std::string, bool, std::string, std::string, std::string> cases[] = {
        {"jh/x/", no, no, true, R + "/jh/x", R + "/jh", "  " + R + "/jh/x/jx_internal" + made},
        {R + "/file", no, no, true, "", "", "  " + R + "/file/jx_internal" + made + "cannot make " + R + "/file"},
        {R + "/gw", no, no, true, "", "", "  " + R + "/gw/jx_internal" + made + "unusable " + R + "/gw"},
        {no, R + "/x/d", R + "/h", false, "", "", searched + R + "/x/d/jexley/jx_internal" + made + "would make " + R + "/x/d/jexley"},
        {no, R + "/x/d/", R + "/h", true, R + "/x/d/jexley", R + "/x", searched + R + "/x/d/jexley/jx_internal" + made},
        {no, "rel", R + "/h", true, R + "/h/.local/share/jexley", R + "/h", searched + R + "/h/.local/share/jexley/jx_internal" + made},
        {no, no, "rel", true, "", "", searched + "(no XDG_DATA_HOME or HOME to make a root in)\nnothing to make"},
    };
    for (const auto& [home, xdg, user_home, make, found, first, outcome] : cases) {
        env("JEXLEY_HOME", home == no ? std::nullopt : std::optional(home));
        env("XDG_DATA_HOME", xdg == no ? std::nullopt : std::optional(xdg));
        env("HOME", user_home == no ? std::nullopt : std::optional(user_home));
        const std::string argv0 = R + (home == no ? "/jexley" : "/bin/jexley");
        EXPECT_EQ(jx_fso_init(argv0.c_str(), make), found.empty() ? 1 : 0) << home << xdg;
        EXPECT_EQ(fso.root_path, found);
        char text[4096], at[JX_FSO_PATH_SIZE];
        JXSafeWhy why{};
        (void)jx_fso_describe_search(argv0.c_str(), text, sizeof text);
        std::string got = text;
        if (found.empty() && jx_fso_fault()->what == FSO_FAULT_NO_DIR && jx_fso_fault()->err == ENOTDIR)
            got += "cannot make " + std::string(jx_fso_fault()->path);
        else if (found.empty() && jx_fso_unusable_root(argv0.c_str(), at, &why) && why.what == JX_SAFE_WRITABLE)
            got += "unusable " + std::string(at);
        else if (found.empty())
            got += jx_fso_first_use_root(argv0.c_str(), at) ? "would make " + std::string(at) : "nothing to make";
        EXPECT_EQ(got, outcome);
        for (fs::path d = found + "/jx_internal"; !first.empty(); d = d.parent_path()) {
            EXPECT_EQ(fs::status(d).permissions(), fs::perms::owner_all) << d;
            if (d == first)
                break;
        }
    }
}

// The configuration fields are written in place. One process per root: a held root names its
// holder from the lock file's record; the claim is taken once the holder lets go. msg/ and
// downloads/ are made at start; something else in their place is named.
TEST_F(Storage, ConfigurationClaimAndDirectoriesOfTheRoot)
{
    const std::string cfg = root + "/jx_internal/cfg", generated = "jexley123456789";
    auto field = [](uint8_t n, std::string dst) {
        jx_fso_read_cfg(n, dst.data(), dst.size());
        return dst;
    };
    EXPECT_EQ(field(0, generated), generated) << "no file: the generated name stays";
    jx_fso_store_cfg(0, "bob", 3);
    EXPECT_EQ(field(0, generated), std::string("bob\0\0\0\0\0\0\0\0\0\0\0\0", 15));
    write_file(cfg, std::string("\0bob", 4));
    EXPECT_EQ(field(0, generated), generated) << "first byte 0";
    // Bytes beyond offset 15 survive a rewrite of field 0; field 1 is at 15; there is no field 2.
    write_file(cfg, "xxxxxxxxxxxxxxxTAIL!");
    jx_fso_store_cfg(0, "fifteencharsabc", 15);
    jx_fso_store_cfg(1, "ZZ", 2);
    EXPECT_EQ(read_file(cfg), "fifteencharsabcZZIL!");
    EXPECT_EQ(field(1, "qqqqqq") + field(2, "qq"), std::string("ZZIL!\0qq", 8));
    fs::remove(cfg);
    dir("jx_internal/cfg");  // neither opened nor created
    jx_fso_store_cfg(0, "bob", 3);

    const std::string lock = root + "/jx_internal/lock";
    write_file(lock, "4321 otherhost\n");
    const int other = open(lock.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(other, F_OFD_SETLK, &fl), 0);
    EXPECT_EQ(jx_fso_lock_root(), FSO_FAULT_LOCKED);
    const JXFsoFault* fault = jx_fso_fault();
    EXPECT_TRUE(fault->holder.pid == 4321 && fault->holder.host == std::string("otherhost"));
    close(other);
    ASSERT_EQ(jx_fso_lock_root(), FSO_FAULT_NONE);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(read_file(lock), std::to_string(getpid()) + " " + host + "\n");
    JXFsoHolder h{};
    EXPECT_TRUE(jx_fso_lock_holder(&h) && h.pid == getpid()) << "seen from another open file";

    fs::remove(root + "/msg"), fs::remove(root + "/downloads");
    ASSERT_EQ(jx_fso_make_dirs(), FSO_FAULT_NONE);
    fs::remove(root + "/downloads");
    write_file(root + "/downloads", "x");
    EXPECT_EQ(jx_fso_make_dirs(), FSO_FAULT_NO_DIR);
    EXPECT_TRUE(fault->path == root + "/downloads" && fault->err == ENOTDIR);
    EXPECT_EQ(take_log(), "Config file could not be opened for writing\nCreated directory " + root +
                              "/msg\nCreated directory " + root + "/downloads\n");
}

// A link planted where the program writes: its target is never written, and the operation refuses
// it or works around it. Each row: the link, the operation, what it gives (result, log lines).
TEST_F(Storage, PlantedLinksAreNeverWrittenThrough)
{
    const std::string in = root + "/jx_internal/", m = root + "/msg/", outside = root + "/outside";
    const JXStoredMsg msg = make_msg(MSG_SENT, 9, "new");
    const std::string stored = put(empty, 1, 1, 100, &msg);
    write_file(m + "bad", "garbage");  // a header that cannot be followed: moved aside
    auto rc = [](int v) { return std::to_string(v); };
    JXFileMeta got{};
    snprintf(got.name, sizeof got.name, "got.txt");
    const std::vector<std::tuple<std::string, std::function<std::string()>, std::string>> rows = {
        {in + ".jx_test_file", [&] { return rc(jx_fso_init((root + "/jexley").c_str())); }, "0"},
        {in + "cfg", [&] { return jx_fso_store_cfg(0, "bob", 3), take_log(); },
         "Config file refused: it is a symbolic link\nConfig file could not be opened for writing\n"},
        {in + "lock",
         [&] {
             const int r = jx_fso_lock_root();
             return rc(r) + ":" + rc(jx_fso_fault()->why.what);
         },
         rc(FSO_FAULT_NO_LOCK) + ":" + rc(JX_SAFE_LINK)},
        {m + "ch", [&] { return jx_fso_store_msg(&msg, "ch"), rc(image("ch") == stored) + take_log(); },
         "1Channel file [ch] refused: it is a symbolic link\nDamaged channel file [" + m + "ch] moved to [" +
             m + "ch.damaged1], a new one is started\n"},
        {m + "rd", [&] { return read(1, "rd"); }, "error 1"},
        {m + "tmp.new",
         [&] { return jx_fso_store_msg(&msg, "tmp"), rc(image("tmp") == stored) + take_log(); }, "1"},
        {m + "bad.damaged1",
         [&] { return jx_fso_store_msg(&msg, "bad"), rc(image("bad.damaged2") == "garbage"); }, "1"},
        {root + "/downloads/got.txt",
         [&] { return jx_fso_close_fp(jx_fso_get_dl_fp(&got)), std::string(got.name); }, "got_(1).txt"},
        {in + "log1",
         [&] { return jx_log_rotate(), rc(fs::is_regular_file(fs::symlink_status(in + "log1"))); }, "1"},
        {in + "log", [&] { return rc(jx_log_init(in.c_str())) + rc(jx_fso_lock_root()); },
         "1" + rc(FSO_FAULT_UNSAFE)},
    };
    for (const auto& [link, op, want] : rows) {
        write_file(outside, "KEEP");
        fs::remove(link);
        fs::create_symlink(outside, link);
        EXPECT_EQ(op(), want) << link;
        EXPECT_EQ(read_file(outside), "KEEP") << link;
        fs::remove(link);
    }
    // What the program makes is its user's alone: files 0600, directories 0700.
    fs::remove(in + "log"), fs::remove(in + "lock"), fs::remove(in + "cfg"),
        fs::remove_all(root + "/downloads");
    ASSERT_EQ(jx_log_init(in.c_str()) + jx_fso_lock_root() + jx_fso_make_dirs(), 0);
    jx_fso_store_cfg(0, "bob", 3);
    for (const char* f : {"jx_internal/log", "jx_internal/lock", "jx_internal/cfg", "msg/tmp", "downloads"})
        EXPECT_EQ(fs::status(root + "/" + f).permissions(), fs::perms(f[0] == 'd' ? 0700 : 0600)) << f;
}

// jx_internal, msg and downloads are not used when they are links, another user's (root's are
// trusted) or writable by group or others; the failed start names the directory and why.
TEST_F(Storage, DirectoriesOthersCanChangeAreNotTaken)
{
    setenv("PATH", (root + "/none").c_str(), 1);
    const std::string argv0 = root + "/jexley";
    dir("elsewhere");
    // {directory, how it is spoilt (a mode, a uid, or -1: a link to a good directory), why}
    const std::tuple<std::string, int, std::string> rows[] = {
        {"jx_internal", 0777, "is writable by group and others (mode 0777)"},
        {"msg", 0775, "is writable by its group (mode 0775)"},
        {"downloads", -1, "is a symbolic link"},
        {"jx_internal", 65534, "is owned by another user (uid 65534)"},
        {"downloads", 65534, "is owned by another user (uid 65534)"}};
    for (const auto& [d, how, want] : rows) {
        const std::string p = root + "/" + d;
        if (how == 65534 && geteuid() != 0)
            GTEST_SKIP() << "not root: cannot give a directory to another user (chown 65534)";
        ASSERT_EQ(how == -1      ? (fs::remove(p), symlink((root + "/elsewhere").c_str(), p.c_str()))
                  : how == 65534 ? chown(p.c_str(), 65534, 65534)
                                 : chmod(p.c_str(), static_cast<mode_t>(how)),
                  0);
        char at[JX_FSO_PATH_SIZE], text[128];
        JXSafeWhy why{};
        if (d == "jx_internal") {
            EXPECT_EQ(jx_fso_init(argv0.c_str()), 1);
            EXPECT_TRUE(jx_fso_unusable_root(argv0.c_str(), at, &why) && at == root);
        } else {
            ASSERT_EQ(jx_fso_init(argv0.c_str()), 0);
            EXPECT_EQ(jx_fso_make_dirs(), FSO_FAULT_UNSAFE);
            why = jx_fso_fault()->why;
            EXPECT_EQ(jx_fso_fault()->path, p);
        }
        EXPECT_EQ(jx_safe_why_str(&why, text, sizeof text), want) << d;
        ASSERT_EQ(how == -1      ? (fs::remove(p), mkdir(p.c_str(), 0700))
                  : how == 65534 ? chown(p.c_str(), 0, 0)
                                 : chmod(p.c_str(), 0700),
                  0);
    }
}

// Offered names become names that are safe to keep on disk, or are refused.
TEST_F(Storage, OfferedNamesBecomeSafeNames)
{
    std::string e200;  // 200 two-byte characters
    while (e200.size() < 400)
        e200 += "\u00e9";
    // {offered, stored ("": refused)}
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {"\x1b]0;pwned\x07\x1b[2Jevil.txt", "_]0;pwned__[2Jevil.txt"},
        {"line\r\nbreak.txt", "line__break.txt"},
        {"-rf", "_rf"},
        {".bashrc", "_bashrc"},
        {"invoice\u202Efdp.exe", "invoice_fdp.exe"},
        {"a\u200Bb\u00ADc\u2066d\xc2\x85" "e\u2028f", "a_b_c_d_e_f"},     // invisible, C1, a line separator
        {"a\xff\xc3(b\xed\xa0\x80.txt", "a__(b___.txt"},              // invalid UTF-8, a surrogate
        {std::string(300, 'x') + ".tar.gz", std::string(244, 'x') + ".gz"},  // cut, extension kept
        {e200 + ".txt", e200.substr(0, 242) + ".txt"},                       // never half a character
        {"a." + std::string(300, 'e'), "a." + std::string(245, 'e')},        // no extension that long
        {"caf\u00e9 \U0001F600.pdf", "caf\u00e9 \U0001F600.pdf"},
        {"a/b", ""}, {"..", ""}, {".", ""}, {"", ""}, {"x?y", ""}, {"c:d", ""}};
    // clang-format on
    for (const auto& [offered, want] : rows) {
        char out[JX_SAFE_NAME_MAX + 1] = "unchanged";
        EXPECT_EQ(jx_fso_safe_name(offered.c_str(), out, sizeof out), !want.empty()) << offered;
        EXPECT_EQ(want.empty() ? "unchanged" : want, out);
    }
    // The longest stored name still has room for its free-name form.
    JXFileMeta m{};
    for (const char* twice : {"first", "second"}) {
        ASSERT_TRUE(jx_fso_safe_name((std::string(300, 'x') + ".tar.gz").c_str(), m.name, sizeof m.name))
            << twice;
        jx_fso_close_fp(jx_fso_get_dl_fp(&m));
    }
    EXPECT_EQ(m.name, std::string(244, 'x') + "_(1).gz");
    EXPECT_TRUE(fs::exists(root + "/downloads/" + m.name));
}

TEST_F(Storage, NetworksFileIsReplacedWholeAndNeverWrittenOrReadThroughALink)
{
    const std::string path = root + "/jx_internal/networks";
    JXSavedNets s{{inet_addr("239.0.0.5"), inet_addr("255.255.255.255")}, 2, inet_addr("239.0.0.5"), inet_addr("10.0.0.7")};
    // Links where the file and its temporary go are replaced; their target stays as it was.
    write_file(root + "/target", "net 10.9.9.9\n");
    fs::create_symlink(root + "/target", path);
    fs::create_symlink(root + "/target", path + ".new");
    ASSERT_EQ(jx_fso_store_networks(&s), 0);
    EXPECT_EQ(read_file(path), "net 239.0.0.5\nnet 255.255.255.255\nlast 239.0.0.5 10.0.0.7\n");
    EXPECT_EQ(std::make_tuple(read_file(root + "/target"), fs::exists(path + ".new"),
                              fs::status(path).permissions()),
              std::make_tuple(std::string("net 10.9.9.9\n"), false, fs::perms::owner_read | fs::perms::owner_write));
    JXSavedNets back{};
    jx_fso_read_networks(&back);
    EXPECT_EQ(std::vector<uint32_t>(back.nets, back.nets + back.count), std::vector<uint32_t>(s.nets, s.nets + 2));
    EXPECT_EQ(std::make_pair(back.last_net, back.last_peer), std::make_pair(s.last_net, s.last_peer));
    // Lines that do not read are skipped; a link is not read at all.
    write_file(path, "net 1.2.3\nnet 10.0.0.1 x\nlast 10.0.0.1\n" + std::string(200, 'n') + "\nnet 10.0.0.2\n");
    jx_fso_read_networks(&back);
    EXPECT_EQ(std::vector<uint32_t>(back.nets, back.nets + back.count),
              (std::vector<uint32_t>{inet_addr("10.0.0.1"), inet_addr("10.0.0.2")}));
    EXPECT_EQ(back.last_net, 0u);
    fs::remove(path);
    fs::create_symlink(root + "/target", path);
    jx_fso_read_networks(&back);
    EXPECT_EQ(back.count, 0u);
}

TEST_F(Storage, MsgFileImageAndLimits)
{
    // A new file of 161600 bytes: the header, then the slot with the numbers LSB first and the
    // address 192.168.1.5 as 05 01 A8 C0; only the low 32 bits of the time are kept.
    const JXStoredMsg m{MSG_SENT, 0x11223344, inet_addr("192.168.1.5"), 0x123456789, "bob", "hello"};
    jx_fso_store_msg(&m, "0501a8c0");
    std::string want = put(empty, 1, 1, 100).replace(1700, 5, "hello");
    want.replace(1600, 21, "\x89\x67\x45\x23\0\0\0\0\x44\x33\x22\x11\x05\x01\xA8\xC0\0\002bob", 21);
    EXPECT_TRUE(image("0501a8c0") == want);
    EXPECT_EQ(read(1, "0501a8c0"), "2 287454020 192.168.1.5 591751049 bob hello");

    // 1500 bytes fill the slot to its last byte and come back cut to 1470; a name of 15 is whole.
    std::string t1500(1500, 'T');
    JXStoredMsg l = make_msg(MSG_RECEIVED, 1, t1500.replace(1469, 1, "E"), "fifteen_chars15");
    jx_fso_store_msg(&l, "0501a8c0");
    EXPECT_EQ(image("0501a8c0").substr(3300, 1501), t1500 + '\0');
    EXPECT_EQ(read(2, "0501a8c0"), "1 1 10.0.0.9 1700000000 fifteen_chars15 " + t1500.substr(0, 1470));
    memset(l.text, 'B', sizeof l.text);  // 1501 bytes, no NUL: refused, nothing written
    want = image("0501a8c0");
    jx_fso_store_msg(&l, "0501a8c0");
    EXPECT_EQ(take_log(), "Msg to store exceeds format size\n");
    EXPECT_TRUE(image("0501a8c0") == want);
    // No NUL anywhere in a slot, garbage beside the 32-bit time: the record still ends in NUL.
    write_file(file("0501a8c0"), want.replace(3204, 4, 4, '\xFF').replace(3218, 1582, 1582, '\xFF'));
    EXPECT_EQ(read(2, "0501a8c0"),
              "1 1 10.0.0.9 1700000000 " + std::string(15, '\xFF') + " " + std::string(1470, '\xFF'));
}

TEST_F(Storage, MsgRingWrapsReadsByPositionAndUpdatesTheNewestCopy)
{
    store_n("ring", 1, 102);  // 101 and 102 go to slots 1 and 2
    EXPECT_EQ(image("ring").substr(0, 12), put(std::string(12, '\0'), 2, 100, 100));
    EXPECT_EQ(
        read(1, "ring") + "|" + read(2, "ring") + "|" + read(100, "ring"),
        "1 101 10.0.0.9 1700000000 p m101|1 102 10.0.0.9 1700000000 p m102|1 100 10.0.0.9 1700000000 p m100");
    EXPECT_EQ(read(0, "ring") + read(101, "ring") + read(1, "missing"), "error 3error 5error 1");

    store_n("up", 7, 7), store_n("up", 7, 8);     // ids 7, 7, 8: the newest 7 is not in slot `last`
    EXPECT_EQ(read(4, "up"), "0 0 0.0.0.0 0  ");  // past the messages: an empty record
    std::string want = image("up");
    want[2 * 1600 + 17] = MSG_DELIVERED;
    JXStoredMsg u = make_msg(MSG_DELIVERED, 7, "");
    EXPECT_EQ(jx_fso_update_msg("up", &u), 0);
    u.type = MSG_UNDELIVERED;
    for (uint64_t id : {0ull, 99ull, 0x100000007ull}) {  // 0, not stored, beyond 32 bits: no change
        u.id = id;
        EXPECT_EQ(jx_fso_update_msg("up", &u), id ? 0 : 3);
        EXPECT_TRUE(image("up") == want) << id;
    }
    fs::remove_all(root + "/msg");
    jx_fso_store_msg(&u, "00000001");
    EXPECT_EQ(take_log(), "Position must be greater the 0\nMessage id must be greater the 0\n"
                          "Can't create channel file\n");
}

// An acknowledged text must be stored: a file whose header cannot be followed is neither read nor
// updated; a store keeps it, byte for byte, under a name no channel has and starts a new one.
TEST_F(Storage, MsgDamagedFileIsKeptAsideAndTheTextStored)
{
    store_n("bad", 1, 3);
    const std::string good = image("bad");
    // {file, header result}: no capacity, a walk that never comes back to last, a count beyond the
    // capacity, slots gigabytes away, a cut header; a ring larger than the file reads its header
    // but finds no slot 150.
    const std::pair<std::string, uint8_t> cases[] = {
        {put(good, 0, 0, 0), 2},         {put(good, 50, 10, 10), 2},
        {put(good, 3, 101, 100), 2},     {put(good, 4000000000u, 3, 0xFFFFFFFFu), 2},
        {std::string("\x01\0\0", 3), 2}, {put(good, 150, 150, 200), 0}};
    const JXStoredMsg m = make_msg(MSG_SENT, 9, "new");
    int n = 0;
    for (const auto& [bytes, header_rc] : cases) {
        SCOPED_TRACE(++n);
        write_file(file("bad"), bytes);
        uint64_t h[3];
        EXPECT_EQ(jx_fso_read_file_header(h, "bad"), header_rc);
        EXPECT_EQ(read(150, "bad"), header_rc ? "error 4" : "error 2");
        jx_fso_store_msg(&m, "bad");
        const std::string kept = file("bad.damaged" + std::to_string(n));
        EXPECT_EQ(take_log(), std::string(header_rc ? "" : "fread failed with error 0\n") +
                                  "Channel file header is not valid [bad]\nDamaged channel file [" +
                                  file("bad") + "] moved to [" + kept + "], a new one is started\n");
        EXPECT_TRUE(read_file(kept) == bytes && image("bad") == put(empty, 1, 1, 100, &m));
    }
}

// A cut file keeps its whole slots, stops counting the lost ones and is filled up again, so no
// slot lands past the end.
TEST_F(Storage, MsgCutFileIsFilledUpKeepingWholeSlots)
{
    store_n("five", 1, 5);
    store_n("wrapped", 1, 101);
    const std::string five = image("five"), wrapped = image("wrapped");
    // {file, its length, slots kept, slot `last` of the new text, counted with the kept ones}: slot 4
    // torn (4 slots and 700 bytes) and cleared; last 1 staying with 49 of 100 slots; one slot short.
    const std::tuple<const std::string*, size_t, uint32_t, uint32_t> cases[] = {
        {&five, 1000, 0, 1}, {&five, 7100, 3, 4}, {&wrapped, 80000, 49, 2}, {&wrapped, 160000, 99, 2}};
    const JXStoredMsg m = make_msg(MSG_SENT, 9, "new");
    for (const auto& [before, size, kept, last] : cases) {
        write_file(file("cut"), before->substr(0, size));
        jx_fso_store_msg(&m, "cut");
        EXPECT_EQ(take_log(), "Channel file cut short [" + file("cut") + "], " + std::to_string(size) +
                                  " bytes: " + std::to_string(kept) +
                                  " whole slots kept, filled up to 161600 bytes\n");
        const std::string want = before->substr(0, (kept + 1) * 1600) + empty.substr((kept + 1) * 1600);
        EXPECT_TRUE(image("cut") == put(want, last, kept + 1, 100, &m)) << size;
    }
}

// A slot across a 4 KiB boundary once reached the disk in two writes: a crash in between mixed a
// new time and name with an old text. Creating a file once took some 40 writes: a crash in between
// left a short file.
TEST_F(Storage, MsgCrashLeavesEverySlotWholeAndNoShortFile)
{
    store_n("ring", 1, 101, 1500);  // last 1: the next store goes to slot 2, across 4096
    crash_anywhere("ring");
    crash_anywhere("0501a8c0");
}

TEST_F(Storage, OfferedFilesAreDescribedAndHashedInSlices)
{
    const std::string big(2500000, 'q');
    write_file(root + "/notes.txt", big);
    JXFileMeta m{};
    FILE* s = nullptr;
    ASSERT_EQ(jx_fso_metadata(&m, &s, (root + "/notes.txt").c_str()), 0);
    EXPECT_EQ(std::string(m.dir) + "|" + m.name, root + "/|notes.txt");
    for (uint8_t more : {1, 1, 0})
        EXPECT_EQ(jx_fso_sha256_sum2(s, &m, 1000000), more);
    uint8_t want[32];
    EXPECT_TRUE(m.size == 2500000 && memcmp(m.digest, sha256_buffer(big.data(), big.size(), want), 32) == 0);
    jx_fso_close_fp(s);
    // An empty file is done at the first call; a bare name has no directory.
    cd(root);
    write_file("empty", "");
    ASSERT_EQ(jx_fso_metadata(&m, &s, "empty"), 0);
    EXPECT_EQ(jx_fso_sha256_sum2(s, &m, 1000000), 0);
    EXPECT_TRUE(m.dir[0] == '\0' && memcmp(m.digest, sha256_buffer("", 0, want), 32) == 0);
    jx_fso_close_fp(s);

    // Directories and FIFOs (which would block or never end) are not offered.
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    EXPECT_EQ(jx_fso_metadata(&m, &s, "fifo"), 1);
    EXPECT_EQ(jx_fso_file_exists("fifo"), 0) << "and the existence test does not block";
    EXPECT_EQ(jx_fso_metadata(&m, &s, root.c_str()), 1);
}

TEST_F(Storage, ReceivedFilesTakeTheFirstFreeNameAndSegmentsAreWhole)
{
    const std::string dl = root + "/downloads/";
    write_file(dl + "report.pdf", "1");
    write_file(dl + "report_(1).pdf", "2");
    fs::create_symlink(root + "/elsewhere", dl + "archive");  // dangling: still a taken name
    const std::pair<const char*, const char*> rows[] = {{"report.pdf", "report_(2).pdf"},
                                                        {"archive", "archive_(1)"},
                                                        {".profile", ".profile"},
                                                        {".profile", "_(1).profile"}};
    for (const auto& [offered, taken] : rows) {
        JXFileMeta m{};
        snprintf(m.name, sizeof m.name, "%s", offered);
        FILE* f = jx_fso_get_dl_fp(&m);
        ASSERT_NE(f, nullptr) << offered;
        EXPECT_EQ(std::string(m.dir) + m.name, dl + taken);
        EXPECT_EQ(jx_fso_write_filepart2(f, reinterpret_cast<const uint8_t*>("seg"), 3), 0);
        jx_fso_close_fp(f);
        EXPECT_EQ(read_file(dl + taken), "seg");
    }
    EXPECT_FALSE(fs::exists(root + "/elsewhere"));

    // Whole segments or nothing.
    FILE* f = fopen((dl + "archive_(1)").c_str(), "rb");
    uint8_t buf[8];
    EXPECT_EQ(jx_fso_read_filepart2(f, buf, 3), 0);
    EXPECT_EQ(jx_fso_read_filepart2(f, buf, 1), 3);
    EXPECT_EQ(jx_fso_read_filepart2(nullptr, buf, 1), 1);
    EXPECT_EQ(jx_fso_write_filepart2(nullptr, buf, 1), 2);
    EXPECT_EQ(jx_fso_write_filepart2(f, buf, 1), 3) << "a stream open for reading";
    jx_fso_close_fp(f);
    EXPECT_EQ(take_log(),
              "Reading filepart error 0\nNull pointer reading filepart\nNull pointer writing filepart\n"
              "write2 failed with error 1\n");
}
