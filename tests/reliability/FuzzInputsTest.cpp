// Every input kept for the fuzzing programs, run through its check in the ordinary build: the seed
// corpora under fuzz/corpus/<target>/ and the inputs that once broke something, kept under
// tests/reliability/fuzz-regressions/<target>/ and named after what broke.

#include <filesystem>

#include <gtest/gtest.h>

#include "fuzz/FuzzChecks.hpp"
#include "tests/support/TestSupport.hpp"

namespace fs = std::filesystem;

namespace {

class FuzzInputs : public ::testing::TestWithParam<galvoria::fuzz::Target> {};

TEST_P(FuzzInputs, EveryKeptInputPassesItsCheck) {
    const auto& target = GetParam();
    const fs::path seeds = fs::path(GALVORIA_FUZZ_DIR) / "corpus" / target.name;
    const fs::path regressions = fs::path(GALVORIA_SOURCE_DIR) / "tests/reliability/fuzz-regressions" / target.name;
    EXPECT_FALSE(fs::is_empty(seeds)) << "no seed corpus for " << target.name;
    std::error_code none;  // a target without kept regressions has no folder of them
    for (const fs::path& folder : {seeds, regressions}) {
        for (const auto& entry : fs::directory_iterator(folder, none))
            if (const auto finding = target.check(galvoria::testing::readFile(entry.path())))
                ADD_FAILURE() << entry.path().filename() << ": " << *finding;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzInputs, ::testing::ValuesIn(galvoria::fuzz::targets()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
