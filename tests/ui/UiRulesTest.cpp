// The rules the web page's server holds requests to, as the pure functions they are.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "host/ui/UiSecurity.hpp"

namespace galvoria::host::ui {
namespace {

// The texts of `texts` the rule lets through, in order.
template <typename Rule>
std::vector<std::string> allowed(const std::vector<std::string>& texts, Rule rule) {
    std::vector<std::string> kept;
    std::ranges::copy_if(texts, std::back_inserter(kept), rule);
    return kept;
}
using Texts = std::vector<std::string>;

TEST(UiRulesTest, HostAndOriginNameOnlyThisServer) {
    constexpr std::uint16_t port = 4711;
    Texts texts = {"127.0.0.1:4711",        "localhost:4711",    "http://127.0.0.1:4711",
                   "http://localhost:4711", "127.0.0.1",         "127.0.0.1:4712",
                   "LOCALHOST:4711",        "evil.example:4711", "[::1]:4711"};
    texts.insert(texts.end(),
                 {"127.0.0.1:4711.evil.example", "https://127.0.0.1:4711", "http://127.0.0.1:4711/", "null", ""});
    EXPECT_EQ(allowed(texts, [](const std::string& text) { return hostAllowed(text, port); }),
              (Texts{"127.0.0.1:4711", "localhost:4711"}));
    EXPECT_EQ(allowed(texts, [](const std::string& text) { return originAllowed(text, port); }),
              (Texts{"http://127.0.0.1:4711", "http://localhost:4711"}));
}

TEST(UiRulesTest, SecretsAndCookies) {
    const std::string secret = "0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(sameSecret(secret, secret));
    for (const std::string other : {"", "0123456789abcdef0123456789abcdee", "0123456789abcdef0123456789abcde",
                                    "0123456789abcdef0123456789abcdef0", "1123456789abcdef0123456789abcdef"})
        EXPECT_FALSE(sameSecret(other, secret)) << other;
    EXPECT_FALSE(sameSecret("", "")) << "no secret is ever set empty";

    const std::pair<std::string_view, std::optional<std::string>> rows[] = {
        {"galvoria-ui=abc", "abc"},         {"other=1; galvoria-ui=abc; last=2", "abc"},
        {"xgalvoria-ui=abc", std::nullopt}, {"galvoria-ui-old=abc", std::nullopt},
        {"galvoria-ui", std::nullopt},      {"", std::nullopt}};
    for (const auto& [header, value] : rows) EXPECT_EQ(cookieValue(header, cookieName), value) << header;
}

TEST(UiRulesTest, UploadedNamesAreKeptOnlyWhenSafe) {
    const Texts keepable = {"IMG_1.jpg", "Café + 100%.jpg", "..jpg", std::string(255, 'a')};
    Texts names = {".", "..", "a/b.jpg", "../../etc/passwd", "", std::string("a\0b", 3), std::string(256, 'a')};
    names.insert(names.begin(), keepable.begin(), keepable.end());
    EXPECT_EQ(allowed(names, [](const std::string& name) { return !fileNameProblem(name); }), keepable);
}

TEST(UiRulesTest, PhotoTypesByNameAndPageNames) {
    Texts types;
    for (const std::string name : {"a.jpg", "a.JPEG", "a.Png", "a.webp", "a.tif", "jpg", "a.jpg.raw"})
        types.push_back(name + " " + std::string(photoType(name)) + (hasThumbnail(photoType(name)) ? " shown" : ""));
    EXPECT_EQ(types, (Texts{"a.jpg image/jpeg shown", "a.JPEG image/jpeg shown", "a.Png image/png shown",
                            "a.webp image/webp shown", "a.tif application/octet-stream", "jpg application/octet-stream",
                            "a.jpg.raw application/octet-stream"}));
    const Texts pages = {"app.js", "", ".", "..", ".hidden", "a/b.js", "..\\x", {"a\0", 2}};
    EXPECT_EQ(allowed(pages, [](const std::string& name) { return pageNameAllowed(name); }), Texts{"app.js"});
}

}  // namespace
}  // namespace galvoria::host::ui
