// The libFuzzer targets, one source built twice. fuzz_datagram feeds arbitrary datagrams to the
// engine's dispatcher, with the periodic tasks running between them on a fake clock (input layout:
// fuzz_harness.hpp); JX_FUZZ_RESET=N restarts the engine every N inputs (default 64; 1 makes each
// input reproducible on its own). fuzz_msgfile (JX_FUZZ_MSGFILE=1) feeds arbitrary bytes as a channel
// message file on disk to the store's readers, update and store (jx_fuzz_msgfile).
#include <cstdlib>

#include "fuzz/fuzz_harness.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::atexit(jx_fuzz_fini);
    const char* reset = std::getenv("JX_FUZZ_RESET");
    const long every = reset != nullptr ? std::atol(reset) : 64;
    if (JX_FUZZ_MSGFILE)
        jx_fuzz_root_init(true);
    else
        jx_fuzz_init(static_cast<uint32_t>(every < 0 ? 0 : every), true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!JX_FUZZ_MSGFILE)
        jx_fuzz_input(data, size);
    else if (!jx_fuzz_msgfile(data, size))
        std::abort();  // a text that was acknowledged would be lost
    return 0;
}
