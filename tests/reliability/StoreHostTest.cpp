// The host and its preference store: where the store is when no --prefs names it, and a store that
// cannot be used or written is reported to the person, never shown as a refusal or a success (a
// publish whose created project cannot be remembered still sends its files).

#include "tests/cli/CliFixture.hpp"

namespace galvoria::testing {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

struct StoreRun {
    std::string name;
    // Shell commands run before the host in an empty working folder. $DIR is the test's folder,
    // $PREFS its store, $BUNDLE the built bundle; in `mentions`, $DIR is replaced too.
    std::string shell;
    std::string arguments;
    bool loggedIn;
    int status;
    Words mentions;  // in standard output or standard error
};
void PrintTo(const StoreRun& c, std::ostream* out) { *out << c.name; }

class StoreInTheHost : public CliTest, public ::testing::WithParamInterface<StoreRun> {};

TEST_P(StoreInTheHost, ExitsWithTheStatusAndReasonAndLeavesTheStoreAsItWas) {
    const auto& c = GetParam();
    if (c.loggedIn) logInDirectly();
    const auto before = store().dictionary();
    const fs::path workingFolder = dir_.path() / "cwd";
    fs::create_directory(workingFolder);
    const auto result =
        runProcess({"/bin/sh", "-c", "cd \"$DIR/cwd\" && " + c.shell + " exec \"$HOST\" " + c.arguments}, {},
                   {{"DIR", dir_.path().string()},
                    {"PREFS", prefs().string()},
                    {"HOST", GALVORIA_HOST_BINARY},
                    {"BUNDLE", GALVORIA_BUNDLE_PATH}});
    EXPECT_EQ(result.status, c.status) << result.standardError;
    const std::string shown = result.standardOutput + result.standardError;
    for (auto mention : c.mentions) {
        if (const auto at = mention.find("$DIR"); at != std::string::npos) mention.replace(at, 4, dir_.path().string());
        EXPECT_NE(shown.find(mention), std::string::npos) << mention << " in\n" << shown;
    }
    // The person reads the store's reason, not the plugin's complaint about a value it could not read
    // back, and a login the store cannot keep is never sent.
    EXPECT_EQ(shown.find("Invalid value"), std::string::npos) << shown;
    for (const auto& request : server_->recordedRequests()) EXPECT_EQ(request.target.find("login"), std::string::npos);
    // Nothing lands in the working folder, the old store stays whole, no temporary file is left.
    EXPECT_TRUE(fs::is_empty(workingFolder));
    EXPECT_EQ(store().dictionary(), before);
    EXPECT_FALSE(fs::exists(prefs().string() + ".tmp"));
}

const std::string logout = R"(logout --bundle "$BUNDLE" --prefs "$PREFS")";
const std::string status = R"(status --bundle "$BUNDLE")";
const std::string noLocation = "neither XDG_CONFIG_HOME nor HOME is an absolute path; set HOME or give --prefs FILE";

// A link planted at the store's lock file, and what the host then says.
const std::string linkAtLock = R"(rm -f "$PREFS.lock" && ln -s "$DIR/victim" "$PREFS.lock" &&)";
const std::string lockRefused = "galvoria-host: the preferences could not be saved: cannot open the lock file";

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreInTheHost,
    ::testing::Values(
        StoreRun{"LinkAtTheLockFile", linkAtLock, logout + " --verbose", true, 1,
                 Words{lockRefused, R"(Preferences: the change of "api-token" was not saved)"}},
        StoreRun{"LoginWithALinkAtTheLockFile", linkAtLock + " echo galvoria-demo |",
                 R"(login --email demo@galvoria.test --password-stdin --prefs "$PREFS")", false, 1, Words{lockRefused}},
        StoreRun{
            "PublishWithALinkAtTheLockFile", linkAtLock + R"( echo photo > "$DIR/a.jpg" &&)",
            R"(publish "$DIR/a.jpg" --workspace Personal --folder "Portraits 📷" --new-project Day --prefs "$PREFS")",
            true, 1, Words{lockRefused, "Publishing completed!\nLibrary: "}},
        StoreRun{"FileSizeLimitOfZero", "ulimit -f 0 &&", logout, true, 1,
                 Words{"galvoria-host: the preferences could not be saved: cannot write", "File too large"}},
        StoreRun{"NeitherHomeNorConfigFolder", "unset HOME XDG_CONFIG_HOME &&", status, false, 2, Words{noLocation}},
        StoreRun{"RelativeConfigFolderIsIgnored", R"(export HOME="$DIR/home" XDG_CONFIG_HOME=config &&)", status, false,
                 1, Words{"$DIR/home/.config/galvoria/preferences.json\n"}},
        StoreRun{"AbsoluteConfigFolderWithoutHome", R"(unset HOME && export XDG_CONFIG_HOME="$DIR/config" &&)", status,
                 false, 1, Words{"$DIR/config/galvoria/preferences.json\n"}},
        StoreRun{
            "FolderWritableByOthers", R"(mkdir -m 0777 "$DIR/shared" &&)",
            status + R"( --prefs "$DIR/shared/preferences.json")", false, 2,
            Words{"the preference store cannot be used: the folder $DIR/shared is writable by others (mode 0777)"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace galvoria::testing
