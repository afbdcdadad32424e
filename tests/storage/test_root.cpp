// The storage root on real directory trees with a controlled PATH and working directory: the
// root search, roots made on first use, the configuration file, the root's claim and directories,
// and links or directories others can change, which are never taken or written through.
#include "storage_fixture.hpp"

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
        {".", "p1", "./bin/x", "", {R + "/bin", "p1"}},
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
    // A kept file with a second name, or (when we can give it away) another user's, is not ours.
    write_file(outside, "KEEP");
    fs::create_hard_link(outside, in + "cfg");
    jx_fso_store_cfg(0, "bob", 3);
    EXPECT_EQ(take_log(), "Config file refused: it has 2 hard links\nConfig file could not be opened for writing\n");
    fs::remove(in + "cfg");
    write_file(in + "cfg", "theirs");
    if (geteuid() == 0 && chown((in + "cfg").c_str(), 65534, 65534) == 0) {
        jx_fso_store_cfg(0, "bob", 3);
        EXPECT_EQ(take_log(), "Config file refused: it is owned by another user (uid 65534)\nConfig file could not be "
                              "opened for writing\n");
        EXPECT_EQ(read_file(in + "cfg"), "theirs");
    }
    EXPECT_EQ(read_file(outside), "KEEP");
    fs::remove(in + "cfg");
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
