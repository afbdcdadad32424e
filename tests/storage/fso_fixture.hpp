// Temporary directory trees, file images and log capture for the storage tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/log.hpp"
#include "storage/fso.hpp"

namespace fso_test {

namespace fs = std::filesystem;

inline std::vector<uint8_t> read_bytes(const std::string& path)
{
    // A runaway file (gigabytes of holes) must fail the check, not stall the run.
    std::error_code ec;
    if (const auto n = fs::file_size(path, ec); !ec && n > (1u << 24)) {
        ADD_FAILURE() << path << " has grown to " << n << " bytes";
        return {};
    }
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string& path, const void* data, size_t n)
{
    std::ofstream f(path, std::ios::binary);
    ASSERT_TRUE(f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n)).flush().good())
        << path;
}

// A fresh directory under /tmp; working directory and PATH are restored and fso and the log are
// closed when the test ends, so cases cannot leak into each other.
class TempTree : public ::testing::Test {
  protected:
    std::string root;

    void SetUp() override
    {
        char tmpl[] = "/tmp/jx_fso_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        saved_cwd_ = fs::current_path();
        if (const char* p = getenv("PATH"))
            saved_path_ = p;
        (void)jx_fso_close();
    }

    void TearDown() override
    {
        (void)jx_log_close();
        (void)jx_fso_close();
        fs::current_path(saved_cwd_);
        if (saved_path_)
            setenv("PATH", saved_path_->c_str(), 1);
        else
            unsetenv("PATH");
        std::error_code ec;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }

    std::string dir(const std::string& rel)
    {
        const std::string p = root + "/" + rel;
        fs::create_directories(p);
        return p;
    }

    void cd(const std::string& path) { ASSERT_EQ(chdir(path.c_str()), 0) << path; }

    // Directory under root whose full path is exactly len characters (components of <= 200).
    std::string dir_of_length(const std::string& base, size_t len)
    {
        std::string p = root + "/" + base;
        while (p.size() < len) {
            const size_t room = len - p.size() - 1;  // after the "/"
            // A remainder of one character would leave only a bare "/" for the last component.
            p += "/" + std::string(room > 200 ? (room == 201 ? 150 : 200) : room, 'd');
        }
        fs::create_directories(p);
        EXPECT_EQ(p.size(), len);
        return p;
    }

    // Log file in its own directory so it stays usable when the tree under test changes.
    void open_log() { ASSERT_EQ(jx_log_init(dir("logdir").c_str()), 0); }

    // Everything logged since the last call.
    std::string take_log()
    {
        const auto b = read_bytes(root + "/logdir/log");
        std::ofstream(root + "/logdir/log", std::ios::trunc).close();
        return {b.begin(), b.end()};
    }

  private:
    fs::path saved_cwd_;
    std::optional<std::string> saved_path_;
};

}  // namespace fso_test
