// The preference store's file text: deep brackets are no store, and what the store writes reads back
// as the same keys and values, whatever characters they hold.

#include <gtest/gtest.h>

#include "platform/PreferenceStore.hpp"

using platform::parsePreferences;
using platform::serializePreferences;
using Values = std::map<std::string, std::string>;

namespace {

// Which texts are a store is checked against the JSON library's own reading of every seed and kept
// input of the preference file's fuzzing target (FuzzInputs); brackets too deep for a recursive
// reader are no seed.
TEST(PreferenceText, BracketsNestedDeeperThanAnyStackAreNoStore) {
    EXPECT_EQ(parsePreferences("{\"a\": " + std::string(500000, '[') + std::string(500000, ']') + "}"), std::nullopt);
}

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
