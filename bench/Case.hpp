#pragma once
// A case of the summary, and the builder of the cases that set a figure against a baseline measured
// in the same run: both are measured in pairs, one right after the other, so that both see the same
// load; the case reports the best runs, their ratio, and the median of the pairs' ratios.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace galvoria::bench {

using Json = nlohmann::ordered_json;

struct Case {
    std::string name;
    std::string measure;
    std::string unit;
    std::optional<double> value;
    std::optional<double> baseline;
    std::optional<double> ratio;
    std::string target;
    bool met = false;
    Json detail = Json::object();
};

// "1", "1.5": a limit as a target names it.
std::string formattedLimit(double value);

// How one pair is measured: each side is one run, its figure in the case's unit.
struct Pair {
    std::function<double()> figure;
    std::function<double()> baseline;
    // Before each counted run of either side (e.g. the test files read into the page cache).
    std::function<void()> prepare;
    // One pair first, not counted: it brings the files into the page cache and the service up to speed.
    bool warmUp = true;
    // Which side goes first alternates from pair to pair; otherwise the figure always does.
    bool alternate = true;
};

struct PairRuns {
    std::vector<double> figures;
    std::vector<double> baselines;
};

// Measures `runs` pairs. After each, `afterPair` (when given) sees the runs so far: for the case's
// progress line and any measurement it takes beside the pair.
PairRuns measurePairs(int runs, const Pair& pair,
                      const std::function<void(int attempt, const PairRuns& sofar)>& afterPair = nullptr);

enum class Better {
    lower,   // a time: the fastest run counts
    higher,  // a throughput: the highest run counts
};

struct RatioCase {
    std::string name;
    std::string measure;
    std::string unit;
    std::string target;
    Better better = Better::lower;
    // The ratio is baseline over value (how many times faster) instead of value over baseline.
    bool baselineOverValue = false;
    // What the ratio must reach: at least when a larger ratio is the better one, else at most.
    double limit = 1.0;
    std::string figureKey;         // the name of the figure's runs in the detail
    std::string baselineKey;       // the name of the baseline's runs in the detail
    Json detail = Json::object();  // more of the detail, after the runs and the median pair ratio
};

Case ratioCase(const RatioCase& recipe, const std::vector<double>& figures, const std::vector<double>& baselines);

}  // namespace galvoria::bench
