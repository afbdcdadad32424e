// A started engine on a temporary storage root, with the terminal context on a chosen window size,
// the clock frozen and local time in UTC: what the command, event and channel screen tests share.
// Needs the suite's own network namespace (the engine binds 8855 and 8856); its main brings lo up
// there with a multicast route so that joins and sends work as on a LAN.
#pragma once

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/events.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/fso.hpp"
#include "terminal_fixture.hpp"

namespace chat_test {

// 2025-06-15 15:13:20 UTC.
inline constexpr int64_t kNow = 1'750'000'400;

inline uint32_t ip(const char* dotted)
{
    return inet_addr(dotted);
}

class ChatTest : public TermTest {
  protected:
    std::filesystem::path root;
    bool started = false;

    void SetUp() override
    {
        if (!g_own_netns)
            GTEST_SKIP() << "needs a network namespace of its own (the engine binds 8855 and 8856)";
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/jx_term_chat_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        std::filesystem::create_directory(root / "jx_internal");
        std::filesystem::create_directory(root / "msg");
        std::filesystem::create_directory(root / "downloads");
        jx_clock_set(kNow);
        ASSERT_EQ(jx_comm_init((root / "jexley").c_str()), 0);
        started = true;
        reset(80, 24);
    }

    void TearDown() override
    {
        TermTest::TearDown();
        ctx_get()->channel = nullptr;
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

    static void drop_events()
    {
        void* data = nullptr;
        while (jx_list_rem_next(&jx_comm_get()->events, nullptr, &data) == 0) {
            auto* ev = static_cast<JXEvent*>(data);
            free(ev->payload);
            free(ev);
        }
    }

    static std::vector<uint8_t> queued_kinds()
    {
        std::vector<uint8_t> k;
        for (jx_list_elmt* e = jx_list_head(&jx_comm_get()->events); e != nullptr; e = jx_list_next(e))
            k.push_back(static_cast<JXEvent*>(jx_list_data(e))->kind);
        return k;
    }

    static void raise(uint8_t kind, void* payload) { ASSERT_EQ(jx_comm_add_event(kind, payload), 0); }

    // Joins a network through the engine and returns its main channel.
    static JXChannel* join(const char* dotted, uint8_t status = NET_ONLINE)
    {
        JXChannel* ch = nullptr;
        EXPECT_EQ(jx_join_network(dotted, 0, &ch), 0) << dotted;
        if (ch != nullptr)
            jx_set_network_status(jx_network_by_addr(ch->net_addr), status);
        drop_events();
        return ch;
    }

    // A network without any channel yet.
    static JXNetwork* add_net(const char* dotted, uint8_t type, uint8_t status)
    {
        JXNetwork* n = nullptr;
        EXPECT_EQ(jx_add_network(ip(dotted), 0, &n), 0) << dotted;
        if (n != nullptr) {
            n->type = type;
            jx_set_network_status(n, status);
        }
        return n;
    }

    // A peer as a beacon would have added it.
    static JXPeer* add_peer(uint32_t net, const char* dotted, const char* name)
    {
        auto* p = static_cast<JXPeer*>(calloc(1, sizeof(JXPeer)));
        p->addr = ip(dotted);
        p->alive = 1;
        p->port = JX_PORT;
        p->last_seen = jx_clock_now();
        snprintf(p->username, sizeof p->username, "%s", name);
        JXNetwork* n = jx_network_by_addr(net);
        EXPECT_NE(n, nullptr);
        if (n == nullptr || jx_set_insert(&n->peers, p) != 0) {
            free(p);
            return nullptr;
        }
        return p;
    }

    static void drop_peer(uint32_t net, const char* dotted)
    {
        JXPeer key{};
        key.addr = ip(dotted);
        void* data = &key;
        ASSERT_EQ(jx_set_remove(&jx_network_by_addr(net)->peers, &data), 0);
        free(data);
    }

    // A direct channel with a peer (0: the network's main channel).
    static JXChannel* add_ch(uint32_t net, uint32_t peer)
    {
        JXChannel* ch = nullptr;
        EXPECT_EQ(jx_add_channel(net, peer, &ch), 0);
        drop_events();
        return ch;
    }

    bool msg_exists(const char* name) const { return std::filesystem::exists(root / "msg" / name); }
    // A whole file under the root ("msg/030201e0", "jx_internal/log").
    std::string slurp(const char* rel) const
    {
        std::ifstream f(root / rel, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    std::string log_text() const { return slurp("jx_internal/log"); }

    // Stores one line in a channel file through the real store.
    static void store(const char* fn, uint8_t type, const char* user, const char* text, uint64_t id = 0,
                      uint64_t time = kNow)
    {
        static JXStoredMsg m;
        memset(&m, 0, sizeof m);
        m.type = type;
        m.id = id;
        m.time = time;
        snprintf(m.username, sizeof m.username, "%s", user);
        snprintf(m.text, sizeof m.text, "%s", text);
        jx_fso_store_msg(&m, fn);
    }
};

}  // namespace chat_test
