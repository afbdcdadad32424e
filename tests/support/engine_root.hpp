// What the engine and terminal suites share: a temporary storage root (jx_internal, msg, downloads)
// with the engine started in it on a frozen clock, torn down after each test, and its log. The
// engine binds 8855 and 8856: the suite runs in a network namespace of its own (see netns.hpp).
#pragma once

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/comm.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/fso.hpp"

namespace jxtest {

inline uint32_t ip(const char* dotted)
{
    return inet_addr(dotted);
}

// Empties the engine's event queue, payloads and all.
inline void drop_events()
{
    void* data = nullptr;
    while (jx_list_rem_next(&jx_comm_get()->events, nullptr, &data) == 0) {
        std::free(static_cast<JXEvent*>(data)->payload);
        std::free(data);
    }
}

class EngineRootTest : public ::testing::Test {
  protected:
    std::filesystem::path root;
    bool started = false;

    void start_engine(int64_t now)
    {
        char tmpl[] = "/tmp/jx_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        for (const char* sub : {"jx_internal", "msg", "downloads"})
            std::filesystem::create_directory(root / sub);
        jx_clock_set(now);
        ASSERT_EQ(jx_comm_init((root / "jexley").c_str()), 0) << log_text();
        started = true;
    }

    void TearDown() override
    {
        if (started) {
            drop_events();
            jx_comm_close();
        }
        jx_log_close();
        (void)jx_fso_close();
        jx_clock_set(0);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }

    // A whole file under the root ("jx_internal/log", "msg/030201e0").
    std::string slurp(const char* rel) const
    {
        std::ifstream f(root / rel, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    std::string log_text() const { return slurp("jx_internal/log"); }
    // Occurrences of `text` in the log; log lines are "date TAB text CR LF".
    size_t log_count(const std::string& text) const
    {
        const std::string t = log_text();
        size_t n = 0;
        for (size_t pos = t.find(text); pos != std::string::npos; pos = t.find(text, pos + 1))
            n++;
        return n;
    }
    bool log_line(const std::string& line) const { return log_count("\t" + line + "\r\n") > 0; }
};

}  // namespace jxtest
