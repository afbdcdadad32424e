// Replays the fuzzer's datagram seeds, and damaged copies of them, through the fuzzer's own
// harness, so that every ordinary test run drives the real dispatcher with each packet type in
// one engine life. (The processors' effects are the processor suites'; damaged message files the
// storage suite's.)
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "engine/events.hpp"
#include "fuzz/fuzz_harness.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

std::map<std::string, Bytes> load_corpus()
{
    std::map<std::string, Bytes> files;
    const auto dir = std::filesystem::path(__FILE__).parent_path() / ".." / "fuzz" / "corpus" / "datagram";
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::ifstream f(e.path(), std::ios::binary);
        files[e.path().filename().string()] = Bytes(std::istreambuf_iterator<char>(f), {});
    }
    return files;
}

// Events of `kind` raised by one input.
uint64_t replay(const Bytes& in, uint8_t kind)
{
    const uint64_t before = jx_fuzz_events[kind];
    jx_fuzz_input(in.data(), in.size());
    return jx_fuzz_events[kind] - before;
}

class FuzzReplay : public ::testing::Test {
  protected:
    void TearDown() override { jx_fuzz_fini(); }
};

TEST_F(FuzzReplay, DamagedSeedsAreHandled)
{
    // One engine life for all of them, so damage done by one input would show in the next.
    jx_fuzz_init(0, false);
    const auto corpus = load_corpus();
    for (const auto& [name, seed] : corpus) {
        SCOPED_TRACE(name);
        std::vector<Bytes> variants{seed};
        // Cut inside the header, right after it, and one byte short of the payload.
        for (size_t len : {size_t{2}, size_t{14}, 1 + JX_HEADER_LEN, seed.size() - 1})
            variants.emplace_back(seed.begin(), seed.begin() + static_cast<long>(std::min(len, seed.size())));
        // A payload length claiming far more than was sent, and over the limit.
        for (uint16_t claimed : {uint16_t{JX_PAYLOAD_MAX}, uint16_t{JX_PAYLOAD_MAX + 1}, uint16_t{0xffff}})
            jx_put_be16(variants.emplace_back(seed).data() + 1 + JX_OFF_PAYLOAD_LEN, claimed);
        // Every sender and clock step, with a 15-byte user name that has no terminator.
        for (uint8_t from = 0; from < 8; from++) {
            variants.emplace_back(seed)[0] = jx_fz_ctl(from, from, from % 2 == 0);
            std::memset(variants.back().data() + 1 + JX_OFF_UNAME, 'Z', JX_HDR_UNAME_LEN);
        }
        // Payload bytes all ones (huge counts, sizes and name lengths), and the largest datagram.
        Bytes& ones = variants.emplace_back(seed);
        std::fill(ones.begin() + 1 + JX_HEADER_LEN, ones.end(), 0xff);
        variants.emplace_back(seed).resize(1 + JX_DATAGRAM_MAX, 0x41);
        jx_put_be16(variants.back().data() + 1 + JX_OFF_PAYLOAD_LEN, JX_PAYLOAD_MAX);
        for (const auto& v : variants)
            jx_fuzz_input(v.data(), v.size());
    }
    // The harness aborts on a malformed event and the sanitizers on a bad access; beyond that the
    // engine must still hold its group network and take a new text.
    auto fresh = corpus.at("01_txt_group");
    jx_put_be32(fresh.data() + 1 + JX_OFF_MSG_ID, 0x5eed);
    EXPECT_EQ(replay(fresh, EV_TXT_RECEIVED), 1u);
}

}  // namespace
