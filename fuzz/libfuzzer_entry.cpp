// The libFuzzer entry of one target, chosen at build time with QF_FUZZ_TARGET.
#include <cstddef>
#include <cstdint>

#include "fuzz_target.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quillfern::fuzz::prepare_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An InvariantViolation (or any other exception) escapes and aborts: libFuzzer keeps
    // the input as a crash.
    quillfern::fuzz::QF_FUZZ_TARGET(quillfern::fuzz::Bytes(data, size));
    return 0;
}
