// Every input kept for the fuzzing programs, run through its check in the ordinary build: the seed
// corpora under fuzz/corpus/<target>/ and the inputs that once broke something, kept under
// tests/reliability/fuzz-regressions/<target>/ and named after what broke.

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "fuzz/FuzzChecks.hpp"
#include "tests/support/TestSupport.hpp"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputsIn(const fs::path& folder) {
    std::vector<fs::path> files;
    if (fs::is_directory(folder)) {
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzInputs : public ::testing::TestWithParam<galvoria::fuzz::Target> {};

TEST_P(FuzzInputs, EveryKeptInputPassesItsCheck) {
    const auto& target = GetParam();
    const auto seeds = inputsIn(fs::path(GALVORIA_FUZZ_DIR) / "corpus" / target.name);
    EXPECT_FALSE(seeds.empty()) << "no seed corpus for " << target.name;
    auto all = seeds;
    const auto regressions =
        inputsIn(fs::path(GALVORIA_SOURCE_DIR) / "tests/reliability/fuzz-regressions" / target.name);
    all.insert(all.end(), regressions.begin(), regressions.end());
    for (const auto& file : all) {
        const auto finding = target.check(galvoria::testing::readFile(file));
        EXPECT_FALSE(finding.has_value()) << file.filename() << ": " << finding.value_or("");
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzInputs, ::testing::ValuesIn(galvoria::fuzz::targets()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
