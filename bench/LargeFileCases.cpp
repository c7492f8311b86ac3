// The cases of large files: one file published against curl, the link's limit, the client against
// the link alone, the service's form parsing, and the host's memory as the file grows.

#include <algorithm>
#include <map>

#include "bench/Cases.hpp"
#include "bench/Curl.hpp"
#include "bench/Statistics.hpp"
#include "bench/TestData.hpp"

namespace galvoria::bench {

Case oneBigFile(const Paths& paths, const Plan& plan, const Service& service, const Host& host,
                const std::string& token) {
    const fs::path file =
        dataFile(paths, "big-" + std::to_string(plan.bigFileBytes / mebibyte) + "MiB.jpg", plan.bigFileBytes, 1);
    const std::string over = service.tls() ? " over TLS" : "";
    // Each run starts from the same state: the file cached, nothing stored, nothing to write back.
    const auto published = [&] {
        const double seconds = publish(paths, host, {file}).wallSeconds;
        service.clearStorage();
        return seconds;
    };
    const auto posted = [&] {
        const double seconds = curlFormPost(paths, service, token, file).wallSeconds;
        service.clearStorage();
        return seconds;
    };
    const PairRuns runs = measurePairs(
        plan.bigFileRuns, {.figure = published, .baseline = posted, .prepare = [&] { bringIntoCache(file); }},
        [&](int attempt, const PairRuns& sofar) {
            progressLine("one big file" + over + ", run " + std::to_string(attempt + 1) + ": host " +
                         std::to_string(sofar.figures.back()) + " s, curl -F " +
                         std::to_string(sofar.baselines.back()) + " s");
        });
    return ratioCase({.name = "one big file" + over,
                      .measure = "wall time to publish " + sizeName(plan.bigFileBytes) + over + " (storage on disk)",
                      .unit = "s",
                      .target = "<= 1.05x curl -F" + over,
                      .limit = 1.05,
                      .figureKey = "hostSeconds",
                      .baselineKey = "curlSeconds",
                      .detail = {{"bytes", plan.bigFileBytes}}},
                     runs.figures, runs.baselines);
}

Case linkLimit(const Paths& paths, const Plan& plan, const Service& service, const Host& host) {
    const fs::path big = linkFile(paths, plan);
    const double megabytes = mebibytesOf(plan.linkBytes);
    const PairRuns runs =
        measurePairs(plan.linkRuns,
                     {.figure = [&] { return megabytes / publish(paths, host, {big}).wallSeconds; },
                      .baseline = [&] { return megabytes / curlStreamedSeconds(paths, service, big); },
                      .prepare = [&] { bringIntoCache(big); }},
                     [](int attempt, const PairRuns& sofar) {
                         progressLine("link limit, run " + std::to_string(attempt + 1) + ": host " +
                                      std::to_string(sofar.figures.back()) + " MiB/s, curl -T " +
                                      std::to_string(sofar.baselines.back()) + " MiB/s");
                     });
    return ratioCase({.name = "link limit",
                      .measure = "publish throughput, " + sizeName(plan.linkBytes) + " (storage parses and discards)",
                      .unit = "MiB/s",
                      .target = ">= 0.9 of curl -T to /_bench/discard",
                      .better = Better::higher,
                      .limit = 0.9,
                      .figureKey = "hostMiBPerSecond",
                      .baselineKey = "curlStreamedMiBPerSecond",
                      .detail = {{"bytes", plan.linkBytes}}},
                     runs.figures, runs.baselines);
}

SinkFigures sinkCases(const Paths& paths, const Plan& plan, const Service& service, const Host& host,
                      const std::string& token) {
    const fs::path big = linkFile(paths, plan);
    const double megabytes = mebibytesOf(plan.linkBytes);
    const std::string parsingRoute = service.origin() + "/storage/upload";
    std::vector<double> parsedRates;
    const PairRuns runs = measurePairs(
        plan.linkRuns,
        {.figure = [&] { return megabytes / publish(paths, host, {big}).wallSeconds; },
         .baseline = [&] { return megabytes / curlFormPost(paths, service, token, big).wallSeconds; },
         .prepare = [&] { bringIntoCache(big); }},
        [&](int attempt, const PairRuns& sofar) {
            bringIntoCache(big);
            parsedRates.push_back(megabytes / curlFormPost(paths, service, token, big, parsingRoute).wallSeconds);
            progressLine("client-bound link, run " + std::to_string(attempt + 1) + ": host " +
                         std::to_string(sofar.figures.back()) + " MiB/s, curl -F " +
                         std::to_string(sofar.baselines.back()) + " MiB/s; curl -F to the parsing route " +
                         std::to_string(parsedRates.back()) + " MiB/s");
        });
    const Json bytes = {{"bytes", plan.linkBytes}};
    return {
        ratioCase(
            {.name = "client-bound link",
             .measure = "publish throughput, " + sizeName(plan.linkBytes) + ", to a route that reads the form unparsed",
             .unit = "MiB/s",
             .target = ">= 0.95 of curl -F to the same route",
             .better = Better::higher,
             .limit = 0.95,
             .figureKey = "hostMiBPerSecond",
             .baselineKey = "curlMiBPerSecond",
             .detail = bytes},
            runs.figures, runs.baselines),
        ratioCase({.name = "service form parsing",
                   .measure = "curl -F throughput to the storage route (parse, check, discard) over the raw route",
                   .unit = "MiB/s",
                   .target = "report; aim >= 0.9 of the raw route",
                   .better = Better::higher,
                   .limit = 0.9,
                   .figureKey = "parsedMiBPerSecond",
                   .baselineKey = "rawMiBPerSecond",
                   .detail = bytes},
                  parsedRates, runs.baselines),
    };
}

MemoryFigures memoryCases(const Paths& paths, const Plan& plan, const Host& host) {
    MemoryFigures figures;
    Json peaks = Json::object();
    std::map<std::uint64_t, double> peakBySize;
    for (const std::uint64_t size : plan.memorySizes) {
        const fs::path file = dataFile(paths, "memory-" + std::to_string(size / mebibyte) + "MiB.jpg", size, 2);
        double peak = 0.0;
        for (int attempt = 0; attempt < plan.memoryRuns; ++attempt) {
            const RunResult result = publish(paths, host, {file});
            peak = std::max(peak, mebibytesOf(result.peakResidentBytes));
        }
        peakBySize[size] = peak;
        peaks[sizeName(size)] = rounded(peak, 2);
        progressLine("memory, " + sizeName(size) + ": peak RSS " + std::to_string(peak) + " MiB");
    }
    double largest = 0.0;
    for (const auto& [size, peak] : peakBySize) largest = std::max(largest, peak);
    Case& memory = figures.memory;
    memory.name = "memory";
    memory.measure = "peak RSS of the host publishing 16 MiB, 256 MiB, 1 GiB (largest)";
    memory.unit = "MiB";
    memory.value = largest;
    memory.target = "<= 32 MiB at every size";
    memory.met = largest <= 32.0;
    memory.detail = {{"peakMiB", peaks}};

    Case& growth = figures.memoryGrowth;
    growth.name = "memory growth";
    growth.measure =
        "peak RSS at " + sizeName(plan.memorySizes.back()) + " minus at " + sizeName(plan.memorySizes.front());
    growth.unit = "MiB";
    growth.value = peakBySize[plan.memorySizes.back()] - peakBySize[plan.memorySizes.front()];
    growth.target = "<= 2 MiB";
    growth.met = *growth.value <= 2.0;
    return figures;
}

}  // namespace galvoria::bench
