// The cases of many requests: many files in one publish (with the connections, handshakes and CPU
// it takes), the round trips per file over a slow link, the publish options over a large account,
// and the load of the bundle.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

#include "bench/Cases.hpp"
#include "bench/Statistics.hpp"
#include "bench/TestData.hpp"

namespace galvoria::bench {

ManyFilesFigures manyFiles(const Paths& paths, const Plan& plan, const Service& service, const Host& host,
                           const std::string& token) {
    const std::vector<fs::path> files = smallFiles(paths, "many", plan.manyFiles, plan.manyFileBytes, 100);
    std::ostringstream manifest;
    for (const auto& file : files) manifest << plan.manyFileBytes << ' ' << file.string() << '\n';
    const fs::path manifestFile = paths.work / "many-files.txt";
    std::ofstream(manifestFile) << manifest.str();
    const bool tls = service.tls();
    const std::string over = tls ? " over TLS" : "";

    ProcessCall loop;
    loop.arguments = {
        "bash", (paths.scripts / "curl-loop.sh").string(), manifestFile.string(), service.origin(), token, demoProject};
    if (tls) loop.arguments.push_back(paths.tlsAuthority.string());
    loop.output = paths.logs() / "curl-loop.out";
    loop.error = paths.logs() / "curl-loop.log";

    std::vector<double> cpuPerFile;
    std::vector<double> connections;
    std::vector<double> handshakes;
    const auto published = [&] {
        const auto before = service.stats();
        const RunResult result = publish(paths, host, files);
        const auto after = service.stats();
        cpuPerFile.push_back(result.cpuSeconds() * 1000.0 / plan.manyFiles);
        // Every URL the plugin uses here (service and storage) is on the one origin of the service.
        connections.push_back(static_cast<double>(after.connections - before.connections));
        // The statistics are read over a connection of their own: the second reading's handshake is
        // counted before it is answered.
        const std::uint64_t ownHandshakes = tls ? 1 : 0;
        handshakes.push_back(static_cast<double>(after.tlsHandshakes - before.tlsHandshakes - ownHandshakes));
        return result.wallSeconds;
    };
    const auto looped = [&] {
        const RunResult result = run(loop);
        if (!result.succeeded()) fail("the curl loop did not publish every file; see " + loop.error.string());
        return result.wallSeconds;
    };
    const PairRuns runs = measurePairs(
        plan.manyFilesRuns,
        {.figure = published,
         .baseline = looped,
         .prepare =
             [&files] {
                 for (const auto& file : files) bringIntoCache(file);
             },
         .warmUp = false,
         .alternate = false},
        [&](int attempt, const PairRuns& sofar) {
            progressLine("many files" + over + ", run " + std::to_string(attempt + 1) + ": host " +
                         std::to_string(sofar.figures.back()) + " s (" + std::to_string(cpuPerFile.back()) +
                         " ms CPU per file, " + std::to_string(static_cast<int>(connections.back())) +
                         " connections, " + std::to_string(static_cast<int>(handshakes.back())) +
                         " TLS handshakes), curl loop " + std::to_string(sofar.baselines.back()) + " s");
        });
    // The small files stay stored until the case is over: removing thousands of files between runs
    // leaves the file system hunting past recently freed inodes when the next run creates its own.
    service.clearStorage();
    ManyFilesFigures figures;
    figures.manyFiles = ratioCase(
        {.name = "many files" + over,
         .measure =
             "wall time for " + std::to_string(plan.manyFiles) + " files of " + sizeName(plan.manyFileBytes) + over,
         .unit = "s",
         .target = ">= 10x faster than a bash loop of 3 curl calls per file" + over + " (ratio = baseline / value)",
         .baselineOverValue = true,
         .limit = 10.0,
         .figureKey = "hostSeconds",
         .baselineKey = "curlLoopSeconds",
         .detail = {{"files", plan.manyFiles}}},
        runs.figures, runs.baselines);

    // Over TLS the handshakes count (a resumed session costs little); in the clear, the connections.
    figures.connections =
        tls ? Case{.name = "handshakes",
                   .measure = "full TLS handshakes the service saw during many files over TLS",
                   .unit = "handshakes",
                   .value = highest(handshakes),
                   .target = "<= 2 (one per role)",
                   .detail = {{"perRun", handshakes}, {"connectionsPerRun", connections}}}
            : Case{
                  .name = "connections",
                  .measure = "TCP connections per origin opened by the host during many files (counted by the service)",
                  .unit = "connections",
                  .value = highest(connections),
                  .target = "<= 2 per origin",
                  .detail = {{"perRun", connections}, {"origins", 1}}};
    figures.connections.met = *figures.connections.value <= 2.0;

    const double cpuLimit = tls ? 1.5 : 1.0;
    Case& cpu = figures.cpu;
    cpu.name = "client CPU" + over;
    cpu.measure = "user+system CPU of the host per file during many files" + over;
    cpu.unit = "ms/file";
    cpu.value = fastest(cpuPerFile);
    cpu.target = "<= " + formattedLimit(cpuLimit) + " ms per file";
    cpu.met = *cpu.value <= cpuLimit;
    cpu.detail = {{"perRun", cpuPerFile}, {"median", median(cpuPerFile)}};
    return figures;
}

Case roundTrips(const Paths& paths, const Plan& plan, const Service& service, const Host& host) {
    const std::vector<fs::path> files =
        smallFiles(paths, "round-trips", plan.roundTripFiles, plan.roundTripFileBytes, 5000);
    const double latencySeconds = plan.latencyMs / 1000.0;
    std::vector<double> perFile;
    std::vector<double> startSeconds;
    std::vector<double> wallSeconds;
    std::vector<double> requestsPerFile;
    for (int attempt = 0; attempt < plan.roundTripRuns; ++attempt) {
        for (const auto& file : files) bringIntoCache(file);
        service.clearRequests();
        const RunResult published = publish(paths, host, files);
        const Json requests = service.requests();
        std::optional<std::int64_t> firstSign;
        std::size_t uploadRequests = 0;
        for (const Json& request : requests) {
            const std::string target = request.at("target").get<std::string>();
            const bool sign = target.starts_with("/api/upload/sign/");
            if (sign && !firstSign) firstSign = request.at("receivedAtNs").get<std::int64_t>();
            if (firstSign) ++uploadRequests;
        }
        if (!firstSign) fail("the service saw no sign request during the round-trip case");
        const double start =
            static_cast<double>(
                *firstSign -
                std::chrono::duration_cast<std::chrono::nanoseconds>(published.startedAt.time_since_epoch()).count()) /
            1e9;
        startSeconds.push_back(start);
        wallSeconds.push_back(published.wallSeconds);
        perFile.push_back((published.wallSeconds - start) / latencySeconds / plan.roundTripFiles);
        requestsPerFile.push_back(static_cast<double>(uploadRequests) / plan.roundTripFiles);
        progressLine("round trips, run " + std::to_string(attempt + 1) + ": " + std::to_string(perFile.back()) +
                     " per file (wall " + std::to_string(published.wallSeconds) + " s, start " + std::to_string(start) +
                     " s, " + std::to_string(requestsPerFile.back()) + " requests per file)");
    }
    service.clearStorage();
    Case result;
    result.name = "round trips per file";
    result.measure = "(wall - start) / " + std::to_string(plan.latencyMs) + " ms / files, " +
                     std::to_string(plan.roundTripFiles) + " files of " + sizeName(plan.roundTripFileBytes) +
                     " with every response held back " + std::to_string(plan.latencyMs) + " ms";
    result.unit = "round trips";
    result.value = fastest(perFile);
    result.baseline = 3.0;
    result.ratio = *result.value / *result.baseline;
    result.target = "<= 3.1 (sign, storage, complete)";
    result.met = *result.value <= 3.1;
    result.detail = {{"perRun", perFile},
                     {"wallSeconds", wallSeconds},
                     {"startSeconds", startSeconds},
                     {"requestsPerFile", requestsPerFile},
                     {"latencyMs", plan.latencyMs}};
    return result;
}

fs::path prepareLargeState(const Paths& paths, const Plan& plan, Service& service) {
    fs::path stateFile = paths.work / "large-state.json";
    std::error_code error;
    fs::remove(stateFile, error);
    service.start(StorageMode::discard, stateFile);
    service.stop();
    Json state = Json::parse(readText(stateFile), nullptr, false);
    if (!state.is_object() || !state.contains("workspaces")) fail("the service wrote no state to extend");

    const std::string createdAt = state["folders"].at(0).at("createdAt").get<std::string>();
    const auto seededWorkspaces = static_cast<int>(state["workspaces"].size());
    char id[64];
    for (int i = 1; i <= plan.bigWorkspaces - seededWorkspaces; ++i) {
        std::snprintf(id, sizeof(id), "ws-bench-%04d", i);
        const bool team = i % 2 == 0;
        state["workspaces"].push_back({{"id", id},
                                       {"name", std::string("Bench Workspace ") + (id + 9)},
                                       {"teamId", team ? Json("team-5a2c91") : Json(nullptr)},
                                       {"ownerId", demoSource},
                                       {"hasOwnerPermissions", true},
                                       {"canCreateFolders", true},
                                       {"canCreateProjects", true},
                                       {"planFeatures", Json::array()}});
    }
    for (int i = 1; i <= plan.bigFolders; ++i) {
        std::snprintf(id, sizeof(id), "fld-bench-%04d", i);
        state["folders"].push_back({{"id", id},
                                    {"workspaceId", "ws-bench-0001"},
                                    {"name", std::string("Shoot ") + (id + 10)},
                                    {"parentId", nullptr},
                                    {"createdAt", createdAt}});
    }
    for (int i = 1; i <= plan.bigProjects; ++i) {
        std::snprintf(id, sizeof(id), "prj-bench-%05d", i);
        char folder[64];
        std::snprintf(folder, sizeof(folder), "fld-bench-%04d", (i - 1) % plan.bigFolders + 1);
        state["projects"].push_back({{"id", id},
                                     {"workspaceId", "ws-bench-0001"},
                                     {"name", std::string("Selects ") + (id + 10)},
                                     {"description", ""},
                                     {"folderId", folder},
                                     {"createdAt", createdAt},
                                     {"files", Json::array()}});
    }
    std::ofstream(stateFile) << state.dump(1) << '\n';
    return stateFile;
}

OptionsFigures options(const Paths& paths, const Plan& plan, const Service& service) {
    ProcessCall call;
    call.arguments = {paths.optionsBench().string(),
                      "--prefs",
                      paths.prefs().string(),
                      "--source",
                      demoSource,
                      "--workspace",
                      "ws-bench-0001",
                      "--other-workspace",
                      otherWorkspace,
                      "--test-token",
                      service.testToken(),
                      "--rebuilds",
                      std::to_string(plan.rebuilds)};
    call.output = paths.logs() / "options.json";
    call.error = paths.logs() / "options.log";
    if (!run(call).succeeded()) fail("galvoria-bench-options failed; see " + call.error.string());
    const Json report = Json::parse(readText(call.output));
    progressLine("options: " + report.dump());

    OptionsFigures figures;
    Case& warm = figures.warm;
    warm.name = "warm options rebuild";
    warm.measure = "settingsForAction from the caches: " + std::to_string(report["cachedWorkspaces"].get<int>()) +
                   " workspaces, " + std::to_string(report["cachedFolders"].get<int>()) + " folders, " +
                   std::to_string(report["cachedProjects"].get<int>()) + " projects (median of " +
                   std::to_string(plan.rebuilds) + ")";
    warm.unit = "ms";
    warm.value = report["rebuildMedianMs"].get<double>();
    warm.target = "0 requests, <= 2 ms per rebuild";
    warm.met = report["warmRequests"].get<int>() == 0 && *warm.value <= 2.0;
    warm.detail = {{"requests", report["warmRequests"]},
                   {"p95Ms", report["rebuildP95Ms"]},
                   {"maxMs", report["rebuildMaxMs"]},
                   {"meanMs", report["rebuildMeanMs"]},
                   {"optionsPerRebuild", report["optionsPerRebuild"]}};

    Case& cold = figures.cold;
    cold.name = "cold options walk";
    cold.measure = "requests walking account > workspace > folder > project (and back) from empty caches";
    cold.unit = "requests";
    cold.value = report["coldRequests"].get<double>();
    cold.baseline = report["expectedColdRequests"].get<double>();
    cold.ratio = *cold.value / *cold.baseline;
    cold.target = "exactly the count the caching rules imply";
    cold.met = *cold.value == *cold.baseline;
    return figures;
}

Case load(const Paths& paths, const Plan& plan) {
    ProcessCall drive;
    drive.arguments = {paths.host().string(),   "drive",   "--bundle",
                       paths.bundle().string(), "--prefs", paths.prefs().string()};
    drive.input = "{\"call\": \"settingsWithError\"}\n";
    drive.output = paths.logs() / "drive.out";
    drive.error = paths.logs() / "drive.log";
    ProcessCall bare;
    bare.arguments = {paths.host().string(), "--version"};

    const auto loaded = [&] {
        const RunResult result = run(drive);
        const Json reply = Json::parse(readText(drive.output), nullptr, false);
        if (!result.succeeded() || !reply.is_object() || reply.value("ok", false) != true) {
            fail("galvoria-host drive did not answer settingsWithError; see " + drive.error.string());
        }
        return result.wallSeconds * 1000.0;
    };
    const auto printed = [&] {
        const RunResult result = run(bare);
        if (!result.succeeded()) fail("galvoria-host --version failed");
        return result.wallSeconds * 1000.0;
    };
    const PairRuns runs =
        measurePairs(plan.loadRuns, {.figure = loaded, .baseline = printed, .warmUp = false, .alternate = false});
    const std::vector<double>& driven = runs.figures;
    const std::vector<double>& version = runs.baselines;
    Case result;
    result.name = "load";
    result.measure = "bundle load + first settingsWithError through galvoria-host drive, minus the bare process";
    result.unit = "ms";
    std::vector<double> over;
    for (std::size_t i = 0; i < driven.size(); ++i) over.push_back(driven[i] - version[i]);
    result.baseline = fastest(version);
    result.value = fastest(driven) - *result.baseline;
    result.target = "<= 20 ms over galvoria-host --version";
    result.met = *result.value <= 20.0;
    result.detail = {{"driveMs", fastest(driven)},
                     {"medianDriveMs", median(driven)},
                     {"medianOverMs", median(over)},
                     {"runs", plan.loadRuns}};
    progressLine("load: drive " + std::to_string(median(driven)) + " ms, --version " +
                 std::to_string(*result.baseline) + " ms");
    return result;
}

}  // namespace galvoria::bench
