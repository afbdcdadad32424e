// fuzz_msgfile: libFuzzer target feeding arbitrary bytes as a channel message file on disk to the
// store's readers, update and store (fuzz_harness.hpp, jx_fuzz_msgfile).
#include <cstdlib>

#include "fuzz/fuzz_harness.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    jx_fuzz_root_init(true);
    std::atexit(jx_fuzz_fini);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!jx_fuzz_msgfile(data, size))
        std::abort();  // a text that was acknowledged would be lost
    return 0;
}
