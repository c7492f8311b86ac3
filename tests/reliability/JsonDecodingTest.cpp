// Decoding JSON from outside: what is accepted reads exactly as the JSON library's own parser reads
// it (member order and duplicate keys included: small texts on every seed of the listing and creation
// fuzzing targets, FuzzInputs; here the large ones), each limit refuses with its own problem, and a
// value at the depth limit can be copied, compared, written and destroyed on a 2 MiB stack. The
// preference store's own reader takes no stack per level either.

#include <pthread.h>

#include <functional>

#include <gtest/gtest.h>

#include "framework/JsonDecoding.hpp"
#include "platform/PreferenceStore.hpp"
#include "tests/support/TestSupport.hpp"

namespace {

using co::JsonFailure;
using galvoria::testing::arrayOf;
using galvoria::testing::nested;
using galvoria::testing::wideObject;

struct DecodeCase {
    const char* label;
    std::string text;
    JsonFailure failure;
    std::string problem;  // for a refusal
};
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.label; }

class Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoding, AcceptsWhatTheLibraryReadsAndRefusesPastEachLimit) {
    const auto decoded = co::decodeJson(GetParam().text);
    EXPECT_EQ(decoded.failure, GetParam().failure);
    if (GetParam().failure == JsonFailure::none) {
        EXPECT_EQ(decoded.value, co::Value::parse(GetParam().text));  // objects compare their member order too
    } else {
        EXPECT_TRUE(decoded.value.is_discarded());
        EXPECT_EQ(decoded.problem(), GetParam().problem);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Decoding,
    ::testing::Values(
        DecodeCase{"duplicateKeysInAWideObject", wideObject(3000, 500), JsonFailure::none},
        DecodeCase{"atTheDepthLimit", nested(512), JsonFailure::none},
        DecodeCase{"longString", "\"" + std::string(3'000'000, 'x') + "\"", JsonFailure::none},
        DecodeCase{"invalidUtf8", "{\"a\": \"pre\xff\"}", JsonFailure::notJson, "is not valid JSON (error at byte 11)"},
        DecodeCase{"trailingText", "{} {}", JsonFailure::notJson, "is not valid JSON (error at byte 4)"},
        DecodeCase{"empty", "", JsonFailure::notJson, "is not valid JSON (error at byte 1)"},
        DecodeCase{"pastTheDepthLimit", nested(513), JsonFailure::tooDeep, "is nested deeper than 512 levels"},
        DecodeCase{"deepInsideAnObject", R"({"signature": {"a": )" + nested(100000) + "}}", JsonFailure::tooDeep,
                   "is nested deeper than 512 levels"},
        DecodeCase{"manyEmptyContainers", arrayOf("{}", 1'000'000), JsonFailure::tooLarge,
                   "would take more than 24000008 bytes of memory once decoded"}),
    [](const auto& info) { return std::string(info.param.label); });

// A depth of the caller's choosing: the request line rows of DriveRequestTest.
TEST(DecodingLimits, TheCallerChoosesTheMemoryAndTheBudgetFollowsTheText) {
    const std::string text = arrayOf("\"" + std::string(100, 'v') + "\"", 1000);
    EXPECT_EQ(co::decodeJson(text, {.maximumMemoryBytes = 100'000}).problem(),
              "would take more than 100000 bytes of memory once decoded");
    EXPECT_TRUE(co::decodeJson(text, {.maximumMemoryBytes = 1'000'000}).ok());
    EXPECT_EQ(co::memoryBudgetFor(10), 1U << 20U);
    EXPECT_EQ(co::memoryBudgetFor(16U << 20U), 128U << 20U);
    EXPECT_EQ(co::memoryBudgetFor(1U << 30U), 128U << 20U);
}

void* runWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return nullptr;
}

// Copies, comparisons and writing recurse once per level: at the depth limit they must fit in a
// quarter of a thread's usual 8 MiB stack, sanitizer builds included.
TEST(DecodingLimits, AValueAtTheDepthLimitIsCopiedComparedWrittenAndDestroyedOnASmallStack) {
    const std::string text = R"({"signature": {"a": )" + nested(co::JsonLimits::defaultMaximumDepth - 2) + "}}";
    std::function<void()> work = [&text] {
        auto decoded = co::decodeJson(text);
        ASSERT_TRUE(decoded.ok());
        const co::Value copy = decoded.value;
        EXPECT_EQ(copy, decoded.value);
        const std::string written = copy.dump();
        EXPECT_EQ(co::decodeJson(written).value, copy);
    };
    pthread_attr_t attributes;
    ASSERT_EQ(::pthread_attr_init(&attributes), 0);
    ASSERT_EQ(::pthread_attr_setstacksize(&attributes, std::size_t{2} << 20U), 0);
    pthread_t thread;
    ASSERT_EQ(::pthread_create(&thread, &attributes, runWork, &work), 0);
    ASSERT_EQ(::pthread_join(thread, nullptr), 0);
    ::pthread_attr_destroy(&attributes);
}

// Which texts are a store is checked against the JSON library's own reading of every seed and kept
// input of the preference file's fuzzing target (FuzzInputs); brackets too deep for a recursive
// reader are no seed.
TEST(PreferenceText, BracketsNestedDeeperThanAnyStackAreNoStore) {
    EXPECT_EQ(platform::parsePreferences("{\"a\": " + std::string(500000, '[') + std::string(500000, ']') + "}"),
              std::nullopt);
}

}  // namespace
