// The preference store's file text: which texts are a store, and that what the store writes reads
// back as the same keys and values, whatever characters they hold.

#include <gtest/gtest.h>

#include "platform/PreferenceStore.hpp"

using platform::parsePreferences;
using platform::serializePreferences;
using Values = std::map<std::string, std::string>;

namespace {

struct StoreText {
    std::string text;
    std::optional<Values> values;
};

class PreferenceText : public ::testing::TestWithParam<StoreText> {};

TEST_P(PreferenceText, ReadsExactlyTheJsonObjectsOfStrings) {
    EXPECT_EQ(parsePreferences(GetParam().text), GetParam().values) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PreferenceText,
    ::testing::Values(StoreText{"{}", Values{}}, StoreText{" {\"api-token\": \"t\"}\n", Values{{"api-token", "t"}}},
                      StoreText{R"({"a": "\u00e9\ud83d\ude00", "": ""})", Values{{"a", "é😀"}, {"", ""}}},
                      StoreText{"", std::nullopt}, StoreText{"null", std::nullopt}, StoreText{"[]", std::nullopt},
                      StoreText{R"({"a": 1})", std::nullopt}, StoreText{R"({"a": "x", "b": null})", std::nullopt},
                      StoreText{R"({"a": "x"} {})", std::nullopt}, StoreText{"{\"a\": \"\xc3\"}", std::nullopt},
                      StoreText{"{\"a\": \"x\"", std::nullopt},
                      StoreText{R"({"a": "1", "b": "", "a": "2"})", Values{{"a", "2"}, {"b", ""}}},
                      StoreText{R"({"a": {"b": "c"}})", std::nullopt}, StoreText{R"({"a": ["x"]})", std::nullopt},
                      StoreText{R"("x")", std::nullopt}, StoreText{R"({"a": "x", "b": {}})", std::nullopt},
                      StoreText{"{\"a\": " + std::string(500000, '[') + std::string(500000, ']') + "}", std::nullopt}));

TEST(PreferenceWriting, WhatIsWrittenReadsBackUnchanged) {
    const Values values = {{"api-token", "tok\"en\\"},
                           {"password-item", std::string("pa\nss\0word", 10)},
                           {"username-item", "ann@example.org"},
                           {"ключ", "значение 😀"},
                           {"", ""}};
    const auto text = serializePreferences(values);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(parsePreferences(text), values);
    EXPECT_EQ(parsePreferences(serializePreferences({})), Values{});
}

}  // namespace
