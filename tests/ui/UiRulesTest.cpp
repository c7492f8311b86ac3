// The rules the web page's server holds requests to, as the pure functions they are.

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "host/ui/UiSecurity.hpp"

namespace galvoria::host::ui {
namespace {

TEST(UiRulesTest, HostAndOriginNameOnlyThisServer) {
    constexpr std::uint16_t port = 4711;
    struct Row {
        std::string_view text;
        bool host;
        bool origin;
    };
    const Row rows[] = {
        {"127.0.0.1:4711", true, false},
        {"localhost:4711", true, false},
        {"http://127.0.0.1:4711", false, true},
        {"http://localhost:4711", false, true},
        {"127.0.0.1", false, false},
        {"127.0.0.1:4712", false, false},
        {"LOCALHOST:4711", false, false},
        {"evil.example:4711", false, false},
        {"127.0.0.1:4711.evil.example", false, false},
        {"[::1]:4711", false, false},
        {"https://127.0.0.1:4711", false, false},
        {"http://127.0.0.1:4711/", false, false},
        {"null", false, false},
        {"", false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(hostAllowed(row.text, port), row.host) << row.text;
        EXPECT_EQ(originAllowed(row.text, port), row.origin) << row.text;
    }
}

TEST(UiRulesTest, SecretsAndCookies) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const auto secret = randomHex128();
        ASSERT_EQ(secret.size(), 32U);
        EXPECT_EQ(secret.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_TRUE(seen.insert(secret).second);
    }
    const std::string secret = "0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(sameSecret(secret, secret));
    for (const std::string other : {"", "0123456789abcdef0123456789abcdee", "0123456789abcdef0123456789abcde",
                                    "0123456789abcdef0123456789abcdef0", "1123456789abcdef0123456789abcdef"}) {
        EXPECT_FALSE(sameSecret(other, secret)) << other;
    }
    EXPECT_FALSE(sameSecret("", "")) << "no secret is ever set empty";

    struct Row {
        std::string_view header;
        std::optional<std::string> value;
    };
    const Row rows[] = {
        {"galvoria-ui=abc", "abc"},         {"other=1; galvoria-ui=abc; last=2", "abc"},
        {"xgalvoria-ui=abc", std::nullopt}, {"galvoria-ui-old=abc", std::nullopt},
        {"galvoria-ui", std::nullopt},      {"", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(cookieValue(row.header, cookieName), row.value) << row.header;
    }
}

TEST(UiRulesTest, UploadedNamesAreKeptOnlyWhenSafe) {
    struct Row {
        std::string name;
        bool keepable;
    };
    const Row rows[] = {
        {"IMG_1.jpg", true},
        {"Café + 100%.jpg", true},
        {"..jpg", true},
        {std::string(255, 'a'), true},
        {".", false},
        {"..", false},
        {"a/b.jpg", false},
        {"../../etc/passwd", false},
        {"", false},
        {std::string("a\0b", 3), false},
        {std::string(256, 'a'), false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(!fileNameProblem(row.name).has_value(), row.keepable) << row.name;
    }
}

TEST(UiRulesTest, ContentTypesByName) {
    struct Row {
        std::string_view name;
        std::string_view photo;
        bool thumbnail;
    };
    const Row rows[] = {
        {"a.jpg", "image/jpeg", true},
        {"a.JPEG", "image/jpeg", true},
        {"a.Png", "image/png", true},
        {"a.webp", "image/webp", true},
        {"a.tif", "application/octet-stream", false},
        {"jpg", "application/octet-stream", false},
        {"a.jpg.raw", "application/octet-stream", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(photoType(row.name), row.photo) << row.name;
        EXPECT_EQ(hasThumbnail(photoType(row.name)), row.thumbnail) << row.name;
    }
    EXPECT_EQ(pageType("index.html"), "text/html; charset=utf-8");
    EXPECT_EQ(pageType("app.js"), "text/javascript; charset=utf-8");
    EXPECT_EQ(pageType("style.css"), "text/css; charset=utf-8");
    EXPECT_EQ(pageType("logo.svg"), "image/svg+xml");
    const std::vector<std::string_view> refused = {"", ".", "..", ".hidden", "a/b.js", "..\\x", {"a\0", 2}};
    for (const auto name : refused) {
        EXPECT_FALSE(pageNameAllowed(name)) << name;
    }
    EXPECT_TRUE(pageNameAllowed("app.js"));
}

}  // namespace
}  // namespace galvoria::host::ui
