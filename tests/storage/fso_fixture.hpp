// Temporary directory trees, file images and log capture for the storage tests.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "foundation/log.hpp"
#include "storage/fso.hpp"

namespace fs = std::filesystem;

// A fresh directory under /tmp with the log open in it. The working directory, PATH, fso and the
// log are put back when the test ends, so cases cannot leak into each other.
class TempTree : public ::testing::Test {
  protected:
    std::string root, saved_path = getenv("PATH");
    fs::path saved_cwd = fs::current_path();

    void SetUp() override
    {
        char tmpl[] = "/tmp/jx_fso_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        ASSERT_EQ(jx_log_init(dir("logdir").c_str()), 0);
    }
    void TearDown() override
    {
        (void)jx_log_close();
        (void)jx_fso_close();
        fs::current_path(saved_cwd);
        setenv("PATH", saved_path.c_str(), 1);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string dir(const std::string& rel)
    {
        fs::create_directories(root + "/" + rel);
        return root + "/" + rel;
    }
    void cd(const std::string& path) { ASSERT_EQ(chdir(path.c_str()), 0) << path; }
    // The whole file, or "none"; a runaway file (gigabytes of holes) fails instead of stalling.
    static std::string read_file(const std::string& path)
    {
        std::error_code ec;
        if (const auto n = fs::file_size(path, ec); ec || n > (1u << 24))
            return ec ? "none" : "runaway";
        std::ostringstream out;
        out << std::ifstream(path, std::ios::binary).rdbuf();
        return out.str();
    }
    static void write_file(const std::string& path, const std::string& data)
    {
        std::ofstream(path, std::ios::binary) << data;
    }
    // The messages logged since the last call, one per line, without their time stamps.
    std::string take_log()
    {
        const std::string log = read_file(root + "/logdir/log");
        write_file(root + "/logdir/log", "");
        return std::regex_replace(log, std::regex("[^\t\n]*\t([^\r\n]*)\r\n"), "$1\n");
    }
};
