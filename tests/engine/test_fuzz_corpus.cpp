// Replays the fuzzer's seed corpus (and damaged copies of it) through the same harness the fuzzer
// uses, so every ordinary test run drives the real dispatcher with each packet type.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "protocol/protocol.hpp"

// The harness is one source shared with the fuzz target; this suite's build globs only its own
// directory, so it is compiled in here.
#include "fuzz/fuzz_harness.cpp"

namespace {

std::map<std::string, std::vector<uint8_t>> load_corpus()
{
    const auto dir = std::filesystem::path(__FILE__).parent_path() / ".." / "fuzz" / "corpus";
    std::map<std::string, std::vector<uint8_t>> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::ifstream f(e.path(), std::ios::binary);
        files[e.path().filename().string()] = std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
    }
    return files;
}

class FuzzReplay : public ::testing::Test {
  protected:
    void SetUp() override { route_added = jx_fuzz_default_route(true) == 0; }
    void TearDown() override
    {
        jx_fuzz_fini();
        if (route_added)
            (void)jx_fuzz_default_route(false);
    }

    // Events of `kind` raised by one input.
    uint64_t replay(const std::vector<uint8_t>& in, uint8_t kind)
    {
        const uint64_t before = jx_fuzz_event_count(kind);
        jx_fuzz_input(in.data(), in.size());
        return jx_fuzz_event_count(kind) - before;
    }

    bool route_added = false;
};

TEST_F(FuzzReplay, SeedsCoverEveryTypeAndReachTheirProcessors)
{
    ASSERT_EQ(jx_fuzz_init(1, false), 0);  // a fresh engine for every input
    const auto corpus = load_corpus();
    // One well-formed seed for every packet type, named after it.
    std::set<uint8_t> types;
    for (const auto& [name, bytes] : corpus) {
        JXPacket pkt{};
        ASSERT_EQ(jx_unserialize(bytes.data() + 1, bytes.size() - 1, 0, 0, &pkt), 0) << name;
        EXPECT_EQ(std::stoi(name.substr(0, 2)), pkt.type) << name;
        types.insert(pkt.type);
    }
    std::set<uint8_t> all = {PKT_PUNCH};
    for (uint8_t t = PKT_TXT_GROUP; t <= PKT_FILE_FIN_OTHER; t++)
        all.insert(t);
    EXPECT_EQ(types, all);
    // Seeds whose effect is certain from the harness's set-up alone.
    const std::pair<const char*, uint8_t> rows[] = {
        {"01_txt_group", EV_TXT_RECEIVED},
        {"02_txt_direct_netdm", EV_TXT_RECEIVED},
        {"02_txt_direct_ip", EV_TXT_RECEIVED},
        {"03_beacon", EV_PEER_JOINED},
        {"04_leave", EV_PEER_LEFT},
        {"07_query", EV_CHANNEL_ADDED},
    };
    for (const auto& [name, kind] : rows)
        EXPECT_EQ(replay(corpus.at(name), kind), 1u) << name;
    // Group texts need no peer record; only our own, echoed back, are dropped.
    auto text = corpus.at("01_txt_group");
    text[0] = jx_fz_ctl(JX_FZ_FROM_STRANGER, 0);
    EXPECT_EQ(replay(text, EV_TXT_RECEIVED), 1u) << "a group text is shown whoever sends it";
    text[0] = jx_fz_ctl(JX_FZ_FROM_SELF, 0);
    EXPECT_EQ(replay(text, EV_TXT_RECEIVED), 0u) << "our own text echoed back is not shown";
}

TEST_F(FuzzReplay, DamagedSeedsAreHandled)
{
    // One engine life for all of them, so damage done by one input would show in the next.
    ASSERT_EQ(jx_fuzz_init(0, false), 0);
    const auto corpus = load_corpus();
    ASSERT_FALSE(corpus.empty());
    for (const auto& [name, seed] : corpus) {
        SCOPED_TRACE(name);
        ASSERT_GE(seed.size(), 1 + JX_HEADER_LEN);
        std::vector<std::vector<uint8_t>> variants{seed};
        // Cut inside the header, right after it, and one byte short of the payload.
        for (size_t len : {size_t{2}, size_t{14}, 1 + JX_HEADER_LEN, seed.size() - 1}) {
            if (len < seed.size())
                variants.emplace_back(seed.begin(), seed.begin() + static_cast<long>(len));
        }
        // A payload length that claims far more than was sent, and one over the limit.
        for (uint16_t claimed : {uint16_t{JX_PAYLOAD_MAX}, uint16_t{JX_PAYLOAD_MAX + 1}, uint16_t{0xffff}}) {
            variants.push_back(seed);
            jx_put_be16(variants.back().data() + 1 + JX_OFF_PAYLOAD_LEN, claimed);
        }
        // Every sender and every clock step, and a 15-byte user name with no terminator.
        for (uint8_t from = 0; from < 8; from++) {
            variants.push_back(seed);
            variants.back()[0] = jx_fz_ctl(from, from, from % 2 == 0);
            std::memset(variants.back().data() + 1 + JX_OFF_UNAME, 'Z', JX_HDR_UNAME_LEN);
        }
        // Payload bytes all ones (huge counts, sizes and name lengths), and the largest datagram.
        variants.push_back(seed);
        std::fill(variants.back().begin() + 1 + JX_HEADER_LEN, variants.back().end(), 0xff);
        variants.push_back(seed);
        variants.back().resize(1 + JX_DATAGRAM_MAX, 0x41);
        jx_put_be16(variants.back().data() + 1 + JX_OFF_PAYLOAD_LEN, JX_PAYLOAD_MAX);
        for (const auto& v : variants)
            jx_fuzz_input(v.data(), v.size());
    }
    // The harness aborts on a malformed event and the sanitizers on a bad access; beyond that the
    // engine must still hold its group network and take a new text after all of it.
    auto fresh = corpus.at("01_txt_group");
    jx_put_be32(fresh.data() + 1 + JX_OFF_MSG_ID, 0x5eed);
    EXPECT_EQ(replay(fresh, EV_TXT_RECEIVED), 1u);
}

}  // namespace
