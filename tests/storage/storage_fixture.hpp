// The storage suite's scaffolding: a fresh storage root per test under /tmp with a controlled
// PATH, working directory and environment, put back when the test ends; message images and a
// store killed at any system call.
#pragma once

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

inline JXStoredMsg make_msg(uint8_t type, uint64_t id, const std::string& text, const char* user = "p")
{
    JXStoredMsg m{type, id, inet_addr("10.0.0.9"), 1700000000, {}, {}};
    snprintf(m.username, sizeof m.username, "%s", user);
    memcpy(m.text, text.data(), text.size());
    return m;
}

// img with the header numbers put in (least significant byte first) and m in slot `last`.
inline std::string put(std::string img, uint32_t last, uint32_t count, uint32_t cap,
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
