#include "bench/Case.hpp"

#include <sstream>

#include "bench/Statistics.hpp"

namespace galvoria::bench {

std::string formattedLimit(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

PairRuns measurePairs(int runs, const Pair& pair,
                      const std::function<void(int attempt, const PairRuns& sofar)>& afterPair) {
    if (pair.warmUp) {
        static_cast<void>(pair.figure());
        static_cast<void>(pair.baseline());
    }
    PairRuns result;
    const auto figure = [&] {
        if (pair.prepare) pair.prepare();
        result.figures.push_back(pair.figure());
    };
    const auto baseline = [&] {
        if (pair.prepare) pair.prepare();
        result.baselines.push_back(pair.baseline());
    };
    for (int attempt = 0; attempt < runs; ++attempt) {
        if (!pair.alternate || attempt % 2 == 0) {
            figure();
            baseline();
        } else {
            baseline();
            figure();
        }
        if (afterPair) afterPair(attempt, result);
    }
    return result;
}

Case ratioCase(const RatioCase& spec, const std::vector<double>& figures, const std::vector<double>& baselines) {
    const auto best = spec.better == Better::lower ? fastest : highest;
    Case result;
    result.name = spec.name;
    result.measure = spec.measure;
    result.unit = spec.unit;
    result.value = best(figures);
    result.baseline = best(baselines);
    result.ratio = spec.baselineOverValue ? *result.baseline / *result.value : *result.value / *result.baseline;
    result.target = spec.target;
    const bool largerIsBetter = (spec.better == Better::higher) != spec.baselineOverValue;
    result.met = largerIsBetter ? *result.ratio >= spec.limit : *result.ratio <= spec.limit;
    result.detail = {{spec.figureKey, figures},
                     {spec.baselineKey, baselines},
                     {"medianPairRatio",
                      spec.baselineOverValue ? pairedRatio(baselines, figures) : pairedRatio(figures, baselines)}};
    for (const auto& [key, value] : spec.detail.items()) result.detail[key] = value;
    return result;
}

}  // namespace galvoria::bench
