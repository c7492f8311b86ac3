// galvoria-host drive on the real bundle: every reply form, malformed requests, start-up errors,
// the plugin's own answers that need no service, overlong lines and a reader that goes away. That
// standard output carries only protocol lines is checked on every line a driven host writes
// (DriveSession).

#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "devserver/Server.hpp"
#include "platform/FileWrite.hpp"
#include "platform/PreferenceStore.hpp"
#include "platform/Process.hpp"
#include "tests/support/TestSupport.hpp"

namespace fs = std::filesystem;
using galvoria::testing::DriveSession;
using galvoria::testing::portOf;
using galvoria::testing::runProcess;
using galvoria::testing::sanitizedBuild;
using galvoria::testing::TempDir;

namespace {

const std::string publishIdentifier = "org.galvoria.c1plugin.publishToDummyAction";
const co::Value foreignAction = {{"displayName", "Export"}, {"identifier", "com.example.export"}};

class Drive : public ::testing::Test {
protected:
    DriveSession& host() {
        if (!session_) session_ = std::make_unique<DriveSession>(DriveSession::Options{dir_.path() / "prefs.json"});
        return *session_;
    }
    TempDir dir_;
    std::unique_ptr<DriveSession> session_;
};

// Copies the built bundle with its manifest rewritten.
fs::path copyBundle(const fs::path& into, const co::Value& manifest) {
    const fs::path bundle = into / "Copy.coplugin";
    fs::copy(GALVORIA_BUNDLE_PATH, bundle, fs::copy_options::recursive);
    std::ofstream(bundle / "manifest.json") << manifest.dump();
    return bundle;
}

// The most the process `pid` has held resident so far.
std::size_t peakResidentBytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
    }
    return 0;
}

}  // namespace

TEST_F(Drive, OffersOnePublishActionForAnyNonZeroFileCount) {
    EXPECT_EQ(host().call({{"call", "publishingActionsFileCount"}, {"fileCount", 0}}),
              co::Value({{"reply", "publishingActionsFileCount"}, {"ok", true}, {"actions", co::Value::array()}}));
    for (const int count : {1, 1000}) {
        const auto reply = host().call({{"call", "publishingActionsFileCount"}, {"fileCount", count}});
        ASSERT_EQ(reply["actions"].size(), 1U);
        EXPECT_EQ(
            reply["actions"][0],
            co::Value({{"displayName", "Publish to galvoria"}, {"identifier", publishIdentifier}, {"hasImage", true}}));
    }
    EXPECT_EQ(host().finish(), 0);
}

TEST_F(Drive, FormsOneTaskForThePublishActionAndRefusesOthers) {
    const co::Value files = {"/tmp/IMG_2.jpg", "/tmp/IMG_1.jpg", "/tmp/é 100%.tif"};
    auto reply = host().call({{"call", "tasksForAction"}, {"action", "publish"}, {"files", files}});
    EXPECT_EQ(reply["tasks"], co::Value::array({co::Value{{"files", files}}}));
    reply = host().call({{"call", "tasksForAction"}, {"action", "publish"}, {"files", co::Value::array()}});
    EXPECT_EQ(reply["tasks"], co::Value::array({co::Value{{"files", co::Value::array()}}}));

    reply = host().call({{"call", "tasksForAction"}, {"action", foreignAction}, {"files", co::Value::array()}});
    EXPECT_EQ(reply, co::Value({{"reply", "tasksForAction"},
                                {"ok", false},
                                {"error",
                                 {{"description", "Innvalid action."},
                                  {"failureReason", "The action cannot be performed by this plugin."}}}}));
    reply = host().call(
        {{"call", "tasksForAction"}, {"action", foreignAction}, {"files", co::Value::array()}, {"noErrorOut", true}});
    EXPECT_EQ(reply, co::Value({{"reply", "tasksForAction"}, {"ok", false}}));

    // An action built by the driver with the publish action's identifier is the publish action.
    const co::Value sameIdentifier = {{"displayName", "Other"}, {"identifier", publishIdentifier}};
    reply = host().call({{"call", "tasksForAction"}, {"action", sameIdentifier}, {"files", co::Value::array()}});
    EXPECT_TRUE(reply["ok"].get<bool>());
}

TEST_F(Drive, RenderSettingsKeepTheirTypesAndVisibilityIsAllBits) {
    for (const co::Value& action : {co::Value("publish"), foreignAction}) {
        const auto reply = host().call({{"call", "processingSettingsForAction"}, {"action", action}});
        EXPECT_EQ(
            reply["settings"].dump(),
            R"({"COSupportedFileFormatsKey":[1,2,7],"COProcessFileFormatKey":1,"COProcessIncludeAnnotationsKey":true,)"
            R"("COProcessIncludeKeywordsMetadataKey":1,"COProcessScaleMethodKey":5,"COProcessLongEdgeScaleKey":)"
            R"({"COProcessScaleLengthKey":100,"COProcessScaleUnitKey":0}})");
        const auto visibility = host().call({{"call", "processingSettingsVisibilityForAction"}, {"action", action}});
        EXPECT_EQ(visibility.dump(),
                  R"({"reply":"processingSettingsVisibilityForAction","ok":true,"visibility":18446744073709551615})");
    }
}

// Which problem each malformed line is refused for is proven on the request reader (DriveRequestTest).
TEST_F(Drive, MalformedRequestsGetAnErrorReplyAndTheHostReadsOn) {
    const std::vector<std::string> bad = {"not json", R"({"call": "publishingActionsFileCount", "fileCount": -1})",
                                          R"({"call": "handleEvent", "event": 1})"};
    for (const auto& line : bad) {
        host().writeRaw(line + "\n");
        const auto reply = host().nextLine();
        EXPECT_EQ(reply["reply"], "error") << line;
        EXPECT_EQ(reply["ok"], false) << line;
        EXPECT_TRUE(reply["message"].is_string() && !reply["message"].get<std::string>().empty()) << line;
    }
    // Blank lines get no reply; CR LF endings are accepted.
    host().writeRaw("\n   \n{\"call\": \"preferences\"}\r\n");
    EXPECT_EQ(host().nextLine()["reply"], "preferences");
    // A last line without a newline is still served before the host exits.
    host().writeRaw(R"({"call": "publishingActionsFileCount", "fileCount": 0})");
    EXPECT_EQ(host().finish(), 0);
    const auto lines = host().standardOutputLines();
    ASSERT_EQ(lines.size(), bad.size() + 2);
    EXPECT_EQ(co::Value::parse(lines.back())["reply"], "publishingActionsFileCount");
}

TEST_F(Drive, PreferencesReadTheFileAndRestartKeepsTheStoreAndTheHeldAction) {
    EXPECT_EQ(host().call({{"call", "preferences"}})["preferences"], co::Value::object());
    std::ofstream(dir_.path() / "prefs.json") << R"({"username-item": "ann@example.org", "password-item": ""})";
    // Member order is free in replies: compared as unordered JSON.
    EXPECT_EQ(nlohmann::json::parse(host().call({{"call", "preferences"}})["preferences"].dump()),
              nlohmann::json({{"username-item", "ann@example.org"}, {"password-item", ""}}));
    host().call({{"call", "publishingActionsFileCount"}, {"fileCount", 2}});
    EXPECT_EQ(host().call({{"call", "restart"}}), co::Value({{"reply", "restart"}, {"ok", true}}));
    const auto tasks = host().call({{"call", "tasksForAction"}, {"action", "publish"}, {"files", {"/a.jpg"}}});
    EXPECT_TRUE(tasks["ok"].get<bool>());
    EXPECT_EQ(host().call({{"call", "preferences"}})["preferences"]["username-item"], "ann@example.org");
    std::ofstream(dir_.path() / "prefs.json") << "{broken";
    EXPECT_EQ(host().call({{"call", "preferences"}})["preferences"], co::Value::object());
}

TEST_F(Drive, ABundleWithoutIdentifierNamesItsActionAfterThePrincipalClass) {
    const auto bundle = copyBundle(dir_.path(), {{"principalClass", "Velbrook"}, {"executable", "libGalvoria.so"}});
    DriveSession session({dir_.path() / "prefs.json", std::nullopt, {}, bundle});
    const auto reply = session.call({{"call", "publishingActionsFileCount"}, {"fileCount", 1}});
    EXPECT_EQ(reply["actions"][0]["identifier"], "Velbrook.publishToDummyAction");
    EXPECT_EQ(reply["actions"][0]["hasImage"], true);
}

TEST_F(Drive, StartUpErrorsExitWithStatusTwoAndNothingOnStandardOutput) {
    std::ofstream(dir_.path() / "bad-strings.json") << R"({"a": 1})";
    const fs::path otherLibrary = copyBundle(
        dir_.path(),
        {{"bundleIdentifier", "x"}, {"principalClass", "Velbrook"}, {"executable", "../lib/libcoframework.so"}});
    fs::copy(fs::path(GALVORIA_BUNDLE_PATH).parent_path().parent_path() / "lib", dir_.path() / "lib",
             fs::copy_options::recursive);
    const fs::path prefs = (dir_.path() / "prefs.json").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"drive", "--bundle", (dir_.path() / "nowhere.coplugin").string(), "--prefs", prefs}, "nowhere.coplugin"},
        {{"drive", "--bundle", GALVORIA_BUNDLE_PATH, "--prefs", prefs, "--strings",
          (dir_.path() / "bad-strings.json").string()},
         "bad-strings.json"},
        {{"drive", "--bundle", otherLibrary.string(), "--prefs", prefs}, "COPluginInterfaceVersion"},
        {{"drive", "--no-such-option"}, "no-such-option"},
    };
    for (const auto& [tail, mentions] : cases) {
        std::vector<std::string> arguments{GALVORIA_HOST_BINARY};
        arguments.insert(arguments.end(), tail.begin(), tail.end());
        const auto result = runProcess(arguments, "{\"call\": \"preferences\"}\n");
        EXPECT_EQ(result.status, 2) << mentions;
        EXPECT_EQ(result.standardOutput, "") << mentions;
        EXPECT_NE(result.standardError.find(mentions), std::string::npos) << result.standardError;
        EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 1)
            << result.standardError;
    }
}

TEST_F(Drive, WithPrefsGivenNothingUnderTheUsersConfigurationIsTouched) {
    const fs::path home = dir_.path() / "home";
    fs::create_directories(home);
    DriveSession session({dir_.path() / "prefs.json",
                          std::nullopt,
                          {{"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / "config").string()}}});
    session.call({{"call", "didUpdateValue"}, {"value", "ann@example.org"}, {"setting", "username-item"}});
    session.call({{"call", "preferences"}});
    EXPECT_EQ(session.finish(), 0);
    EXPECT_TRUE(fs::is_empty(home));
}

// A line with no length cap was held whole, however long: a 400 MiB line took 1.68 GB.
TEST_F(Drive, AnOverlongLineGetsAnErrorReplyIsNotHeldAndTheHostReadsOn) {
    const std::string tooLong = "the request line is longer than 16777216 bytes";
    host().writeRaw(R"({"call": "preferences", "pad": ")" + std::string(17U << 20U, 'x') + "\"}\n");
    EXPECT_EQ(host().nextLine()["message"], tooLong);
    host().writeRaw(std::string(100U << 20U, ' ') + "\n" + R"({"call": "preferences"})" + "\n");
    EXPECT_EQ(host().nextLine()["message"], tooLong);
    EXPECT_EQ(host().nextLine()["reply"], "preferences");
    // A line is held up to the cap, never the 100 MiB (a sanitizer's allocator keeps freed memory).
    if (!sanitizedBuild) {
        EXPECT_LT(peakResidentBytes(host().pid()), std::size_t{80} << 20U);
    }
    // The cap itself is a line like any other.
    host().writeRaw(std::string((16U << 20U) - 23, ' ') + R"({"call": "preferences"})" + "\n");
    EXPECT_EQ(host().nextLine()["reply"], "preferences");
    EXPECT_EQ(host().finish(), 0);
}

// `drive | head -c 300` used to kill the host with SIGPIPE in the middle of a file's exchange,
// leaving an upload signed but never completed.
TEST_F(Drive, AReaderThatGoesAwayEndsAPublishAfterTheFileInFlightWithStatusThree) {
    galvoria::devserver::Server service({.port = *portOf(GALVORIA_SERVICE_URL), .testMode = true});
    ASSERT_TRUE(service.start());
    const fs::path prefs = dir_.path() / "prefs.json";
    platform::PreferenceStore(prefs).setValue(service.issueToken("demo@galvoria.test"), "api-token");
    co::Value files = co::Value::array();
    for (int n = 0; n < 300; ++n) {
        const fs::path file = dir_.path() / ("IMG_" + std::to_string(n) + ".jpg");
        std::ofstream(file) << std::string(2000, 'p');
        files.push_back(file.string());
    }
    const co::Value settings = {
        {"workspace-list-item", "ws-4f1c2a"}, {"folder-list-item", "none"}, {"project-list-item", "prj-3c9a02"}};
    const co::Value publish = {{"call", "startPublishingTask"},
                               {"task", {{"action", "publish"}, {"files", files}, {"settings", settings}}}};
    // Standard input stays open: the host must end on its own, without reading the next request. The
    // pipeline's shell has SIGPIPE at its default action, as a terminal's shell has it.
    const std::string pipeline =
        R"("$0" drive --bundle "$1" --prefs "$2" 2>"$3" | head -c 300 >/dev/null; exit "${PIPESTATUS[0]}")";
    auto shell = platform::Child::spawn(
        {.arguments = {"env", "--default-signal=PIPE", "/bin/bash", "-c", pipeline, GALVORIA_HOST_BINARY,
                       GALVORIA_BUNDLE_PATH, prefs.string(), (dir_.path() / "log").string()},
         .input = platform::Stream::pipe()});
    ASSERT_TRUE(shell);
    EXPECT_TRUE(platform::writeAll(shell->input().get(), publish.dump() + "\n" + R"({"call": "restart"})" + "\n"));
    const auto exit = shell->waitFor(std::chrono::minutes(2));
    ASSERT_TRUE(exit) << "the host did not end";
    EXPECT_EQ(exit->shellStatus(), 3);
    const auto requests = service.recordedRequests();
    const auto to = [&](std::string_view target) {
        return std::ranges::count_if(requests, [&](const auto& request) { return request.target == target; });
    };
    const auto signs = to("/api/upload/sign/lightroom");
    const auto completed = to("/api/upload/complete");
    EXPECT_GE(signs, 1);
    EXPECT_LT(signs, 20);
    EXPECT_EQ(completed, signs) << "an upload was signed but never completed";
}
