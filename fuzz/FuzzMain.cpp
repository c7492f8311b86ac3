// The libFuzzer entry of one fuzzing program; GALVORIA_FUZZ_CHECK names its check. A finding ends
// the run like a crash, so libFuzzer keeps the input that caused it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/FuzzChecks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (const auto finding = galvoria::fuzz::GALVORIA_FUZZ_CHECK(input)) {
        std::fprintf(stderr, "finding: %s\n", finding->c_str());
        std::abort();
    }
    return 0;
}
