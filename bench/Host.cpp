#include "bench/Host.hpp"

#include <system_error>

#include <nlohmann/json.hpp>

#include "vocabulary/PreferenceKeys.hpp"

namespace galvoria::bench {

namespace {

using Json = nlohmann::ordered_json;

std::string readToken(const fs::path& prefsFile) {
    const Json prefs = Json::parse(readText(prefsFile), nullptr, false);
    const std::string key(galvoria::prefs::apiToken);
    if (!prefs.is_object() || !prefs.contains(key) || !prefs[key].is_string()) return {};
    return prefs[key].get<std::string>();
}

}  // namespace

std::string login(const Paths& paths, const Host& host) {
    std::error_code error;
    fs::remove(host.prefs, error);
    ProcessCall call;
    call.arguments = {host.program().string(), "login", "--prefs", host.prefs.string(), "--email", demoEmail,
                      "--password-stdin"};
    call.input = std::string(demoPassword) + "\n";
    call.error = paths.logs() / "host.log";
    if (!run(call).succeeded()) fail("galvoria-host login failed; see " + call.error.string());
    std::string token = readToken(host.prefs);
    if (token.empty()) fail("the login stored no token");
    return token;
}

RunResult publish(const Paths& paths, const Host& host, const std::vector<fs::path>& files) {
    ProcessCall call;
    call.arguments = {host.program().string(), "publish"};
    for (const auto& file : files) call.arguments.push_back(file.string());
    const std::vector<std::string> options{"--prefs",  host.prefs.string(), "--workspace", demoWorkspace, "--folder",
                                           demoFolder, "--project",         demoProject,   "--json"};
    call.arguments.insert(call.arguments.end(), options.begin(), options.end());
    call.output = paths.logs() / "publish.json";
    call.error = paths.logs() / "host.log";
    RunResult result = run(call);
    const Json outcome = Json::parse(readText(call.output), nullptr, false);
    const bool completed = outcome.is_object() && outcome.value("status", "") == "completed" &&
                           outcome.contains("processed") && outcome["processed"].size() == files.size();
    if (!result.succeeded() || !completed) {
        fail("galvoria-host publish did not publish every file; see " + call.output.string() + " and " +
             call.error.string());
    }
    return result;
}

}  // namespace galvoria::bench
