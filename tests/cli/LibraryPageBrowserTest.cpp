// The link a publish ends on, opened in a real browser: headless Chromium renders the project's
// library page, which must list the files just published. The screenshot stays in the build
// folder for a person to look at.

#include <fstream>
#include <regex>

#include "tests/cli/CliFixture.hpp"

namespace galvoria::testing {
namespace {
namespace fs = std::filesystem;

const std::string chromium = "/usr/bin/chromium";

// A one-pixel PNG, so that the page shows the files as images.
void writePixel(const fs::path& path) {
    static const unsigned char png[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
        0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00,
        0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x64, 0x60, 0xf8, 0x5f, 0x0f, 0x00, 0x02, 0x87, 0x01, 0x80,
        0xeb, 0x47, 0xba, 0x92, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png), sizeof png);
}

class LibraryPage : public CliTest {
protected:
    ProcessResult browse(const std::vector<std::string>& what, const std::string& url) {
        std::vector<std::string> arguments = {chromium, "--headless", "--no-sandbox", "--disable-gpu",
                                              "--disable-quic"};
        arguments.insert(arguments.end(), {"--no-first-run", "--disable-background-networking",
                                           "--disable-component-update", "--disable-sync"});
        const auto profile = dir_.path() / ("profile-" + std::to_string(++profiles_));
        std::filesystem::create_directories(profile);
        arguments.push_back("--user-data-dir=" + profile.string());
        arguments.insert(arguments.end(), what.begin(), what.end());
        arguments.push_back(url);
        const std::string home = (dir_.path() / "home").string();
        return runProcess(arguments, {}, {{"HOME", home}, {"XDG_CONFIG_HOME", home + "/config"}});
    }

    int profiles_ = 0;
};

TEST_F(LibraryPage, ThePublishedLinkRendersInChromiumListingThePublishedFiles) {
    if (!fs::exists(chromium)) GTEST_SKIP() << "Debian's chromium is not installed";
    logInDirectly();
    const std::vector<std::string> names = {"Harbour at dawn.png", "Café terrace.png", "Night & rain.png"};
    std::vector<std::string> arguments = {"publish"};
    for (const auto& name : names) {
        writePixel(dir_.path() / "photos" / name);
        arguments.push_back((dir_.path() / "photos" / name).string());
    }
    arguments.insert(arguments.end(), {"--workspace", "Personal", "--new-folder", "Browser check", "--new-project",
                                       "Seen in a browser", "--json"});
    const auto published = host(arguments);
    ASSERT_EQ(published.status, 0) << published.standardError;
    const std::string url = co::Value::parse(published.standardOutput)["url"].get<std::string>();

    const auto dom = browse({"--dump-dom"}, url);
    ASSERT_EQ(dom.status, 0) << dom.standardError;
    EXPECT_NE(dom.standardOutput.find("<h1>Seen in a browser</h1>"), std::string::npos) << dom.standardOutput;
    EXPECT_NE(dom.standardOutput.find("3 files"), std::string::npos);
    for (const std::string escaped : {"Harbour at dawn.png", "Café terrace.png", "Night &amp; rain.png"})
        EXPECT_NE(dom.standardOutput.find("<span class=\"name\">" + escaped + "</span>"), std::string::npos)
            << escaped << " not on the page";
    const std::regex image("<img src=\"/files/");
    const auto& page = dom.standardOutput;
    EXPECT_EQ(std::distance(std::sregex_iterator(page.begin(), page.end(), image), std::sregex_iterator()), 3);

    const fs::path screenshot = fs::path(GALVORIA_CLI_ARTIFACTS) / "library.png";
    fs::create_directories(screenshot.parent_path());
    fs::remove(screenshot);
    const auto shot = browse({"--screenshot=" + screenshot.string(), "--window-size=1200,900"}, url);
    ASSERT_EQ(shot.status, 0) << shot.standardError;
    ASSERT_TRUE(fs::exists(screenshot)) << shot.standardError;
    EXPECT_GT(fs::file_size(screenshot), 1000U);
}

}  // namespace
}  // namespace galvoria::testing
