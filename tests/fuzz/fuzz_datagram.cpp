// fuzz_datagram: libFuzzer target feeding arbitrary datagrams to the engine's dispatcher, with the
// periodic tasks running between them on a fake clock (input layout: fuzz_harness.hpp).
// JX_FUZZ_RESET=N restarts the engine every N inputs (default 64; 1 makes each input reproducible
// on its own).
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_harness.hpp"
#include "support/netns.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* reset = std::getenv("JX_FUZZ_RESET");
    const long every = reset != nullptr ? std::strtol(reset, nullptr, 10) : 64;
    if (!jx_test_enter_netns(nullptr) || jx_fuzz_default_route(true) != 0) {
        std::fprintf(stderr, "fuzz_datagram: cannot enter a network namespace of its own\n");
        std::exit(1);
    }
    jx_fuzz_init(static_cast<uint32_t>(every < 0 ? 0 : every), true);
    std::atexit(jx_fuzz_fini);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    jx_fuzz_input(data, size);
    return 0;
}
