// Replays the fuzzer's seed corpus (and damaged copies of it) through the same harness the fuzzer
// uses, so every ordinary test run drives the real dispatcher with each packet type.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

std::string corpus_dir()
{
    const char* src = std::getenv("JX_SOURCE_DIR");
    if (src != nullptr)
        return std::string(src) + "/tests/fuzz/corpus";
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../fuzz/corpus";
}

std::map<std::string, std::vector<uint8_t>> load_corpus()
{
    std::map<std::string, std::vector<uint8_t>> files;
    const std::string dir = corpus_dir();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return files;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream f(dir + "/" + e->d_name, std::ios::binary);
        files[e->d_name] = std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
    }
    closedir(d);
    return files;
}

TEST(FuzzCorpus, OneWellFormedSeedForEveryPacketType)
{
    const auto corpus = load_corpus();
    ASSERT_FALSE(corpus.empty()) << "no corpus in " << corpus_dir();
    std::set<uint8_t> types;
    for (const auto& [name, bytes] : corpus) {
        ASSERT_GE(bytes.size(), 1 + JX_HEADER_LEN) << name;
        JXPacket pkt{};
        ASSERT_EQ(jx_unserialize(bytes.data() + 1, bytes.size() - 1, 0, 0, &pkt), 0) << name;
        // The declared payload is exactly what the file holds: no truncated or padded seed.
        EXPECT_EQ(pkt.payload_len + JX_HEADER_LEN, bytes.size() - 1) << name;
        // File names start with the packet type they hold.
        EXPECT_EQ(std::stoi(name.substr(0, 2)), pkt.type) << name;
        types.insert(pkt.type);
    }
    const std::set<uint8_t> all = {
        PKT_TXT_GROUP,      PKT_TXT_DIRECT, PKT_BEACON,    PKT_LEAVE,       PKT_TXT_GROUP_ACK,
        PKT_TXT_DIRECT_ACK, PKT_QUERY,      PKT_FILE_META, PKT_GET_SEGMENT, PKT_GET_SKIPPED,
        PKT_CHUNK,          PKT_BATCH_DONE, PKT_META_ACK,  PKT_FILE_FIN_OK, PKT_FILE_FIN_FAILED,
        PKT_FILE_FIN_OTHER, PKT_PUNCH};
    EXPECT_EQ(types, all);
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

TEST_F(FuzzReplay, SeedsReachTheirProcessors)
{
    ASSERT_EQ(jx_fuzz_init(1, false), 0);  // a fresh engine for every input
    const auto corpus = load_corpus();
    ASSERT_FALSE(corpus.empty());
    // Seeds whose effect is certain from the harness's set-up alone.
    EXPECT_EQ(replay(corpus.at("01_txt_group"), EV_TXT_RECEIVED), 1u);
    EXPECT_EQ(replay(corpus.at("02_txt_direct_netdm"), EV_TXT_RECEIVED), 1u);
    EXPECT_EQ(replay(corpus.at("02_txt_direct_ip"), EV_TXT_RECEIVED), 1u);
    EXPECT_EQ(replay(corpus.at("03_beacon"), EV_PEER_JOINED), 1u);
    EXPECT_EQ(replay(corpus.at("04_leave"), EV_PEER_LEFT), 1u);
    EXPECT_EQ(replay(corpus.at("07_query"), EV_CHANNEL_ADDED), 1u);
    // Group texts need no peer record; only our own, echoed back, are dropped.
    auto stranger = corpus.at("01_txt_group");
    stranger[0] = jx_fz_ctl(JX_FZ_FROM_STRANGER, 0);
    EXPECT_EQ(replay(stranger, EV_TXT_RECEIVED), 1u) << "a group text is shown whoever sends it";
    auto self = corpus.at("01_txt_group");
    self[0] = jx_fz_ctl(JX_FZ_FROM_SELF, 0);
    EXPECT_EQ(replay(self, EV_TXT_RECEIVED), 0u) << "our own text echoed back is not shown";
}

TEST_F(FuzzReplay, DamagedSeedsAreHandled)
{
    // One engine life for all of them, so damage done by one input would show in the next.
    ASSERT_EQ(jx_fuzz_init(0, false), 0);
    const auto corpus = load_corpus();
    ASSERT_FALSE(corpus.empty());
    for (const auto& [name, seed] : corpus) {
        SCOPED_TRACE(name);
        std::vector<std::vector<uint8_t>> variants;
        variants.push_back(seed);
        // Cut inside the header, right after it, and one byte short of the payload.
        for (size_t len : {size_t{2}, size_t{14}, 1 + JX_HEADER_LEN, seed.size() - 1}) {
            if (len >= 2 && len < seed.size())
                variants.emplace_back(seed.begin(), seed.begin() + static_cast<long>(len));
        }
        // A payload length that claims far more than was sent, and one over the limit.
        for (uint16_t claimed : {uint16_t{JX_PAYLOAD_MAX}, uint16_t{JX_PAYLOAD_MAX + 1}, uint16_t{0xffff}}) {
            auto v = seed;
            jx_put_be16(v.data() + 1 + JX_OFF_PAYLOAD_LEN, claimed);
            variants.push_back(v);
        }
        // Every sender and every clock step, and a 15-byte user name with no terminator.
        for (uint8_t from = 0; from < 8; from++) {
            auto v = seed;
            v[0] = jx_fz_ctl(from, from, from % 2 == 0);
            std::memset(v.data() + 1 + JX_OFF_UNAME, 'Z', JX_HDR_UNAME_LEN);
            variants.push_back(v);
        }
        // Payload bytes all ones: huge counts, sizes and name lengths.
        auto ones = seed;
        std::fill(ones.begin() + 1 + JX_HEADER_LEN, ones.end(), 0xff);
        variants.push_back(ones);
        // The largest datagram with the largest payload.
        auto big = seed;
        big.resize(1 + JX_DATAGRAM_MAX, 0x41);
        jx_put_be16(big.data() + 1 + JX_OFF_PAYLOAD_LEN, JX_PAYLOAD_MAX);
        variants.push_back(big);
        for (const auto& v : variants) {
            jx_fuzz_input(v.data(), v.size());
        }
    }
    // The harness aborts on a malformed event and the sanitizers on a bad access; beyond that the
    // engine must still hold its group network and take a new text after all of it.
    auto fresh = corpus.at("01_txt_group");
    jx_put_be32(fresh.data() + 1 + JX_OFF_MSG_ID, 0x5eed);
    EXPECT_EQ(replay(fresh, EV_TXT_RECEIVED), 1u);
}

}  // namespace
