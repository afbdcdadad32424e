// Temporary directory trees, file images and log capture for the storage tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/log.hpp"
#include "storage/fso.hpp"

namespace fso_test {

inline std::vector<uint8_t> read_bytes(const std::string& path)
{
    std::vector<uint8_t> out;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

inline void write_bytes(const std::string& path, const void* data, size_t n)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(data, 1, n, f), n);
    fclose(f);
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline long file_size(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
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
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        const char* p = getenv("PATH");
        had_path_ = p != nullptr;
        if (had_path_)
            saved_path_ = p;
        (void)jx_fso_close();
    }

    void TearDown() override
    {
        (void)jx_log_close();
        (void)jx_fso_close();
        if (chdir(saved_cwd_.c_str()) != 0)
            ADD_FAILURE() << "cannot restore cwd";
        if (had_path_)
            setenv("PATH", saved_path_.c_str(), 1);
        else
            unsetenv("PATH");
        std::error_code ec;
        std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(root, ec);
    }

    std::string dir(const std::string& rel)
    {
        std::string p = root + "/" + rel;
        std::error_code ec;
        std::filesystem::create_directories(p, ec);
        EXPECT_FALSE(ec) << p << ": " << ec.message();
        return p;
    }

    void cd(const std::string& path) { ASSERT_EQ(chdir(path.c_str()), 0) << path; }

    // Directory under root whose full path is exactly len characters (components of <= 200).
    std::string dir_of_length(const std::string& base, size_t len)
    {
        std::string p = root + "/" + base;
        EXPECT_LT(p.size() + 2, len);
        while (p.size() < len) {
            size_t room = len - p.size() - 1;  // after the "/"
            size_t take = room > 200 ? 200 : room;
            // A remainder of one character would leave only a bare "/" for the last component.
            if (room > 200 && room - 200 == 1)
                take = 150;
            p += "/" + std::string(take, 'd');
        }
        std::error_code ec;
        std::filesystem::create_directories(p, ec);
        EXPECT_FALSE(ec) << ec.message();
        EXPECT_EQ(p.size(), len);
        return p;
    }

    // Log file in its own directory so it stays usable when the tree under test changes.
    std::string open_log()
    {
        std::string d = dir("logdir") + "/";
        EXPECT_EQ(jx_log_init(d.c_str()), 0);
        log_file_ = log_path;
        return log_file_;
    }

    // Everything logged since the last call.
    std::string take_log()
    {
        auto b = read_bytes(log_file_);
        std::string s(b.begin(), b.end());
        if (truncate(log_file_.c_str(), 0) != 0)
            ADD_FAILURE() << "cannot clear log";
        return s;
    }

  private:
    std::string saved_cwd_;
    std::string saved_path_;
    bool had_path_ = false;
    std::string log_file_;
};

}  // namespace fso_test
