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

Case ratioCase(const RatioCase& recipe, const std::vector<double>& figures, const std::vector<double>& baselines) {
    const auto best = recipe.better == Better::lower ? fastest : highest;
    Case result;
    result.name = recipe.name;
    result.measure = recipe.measure;
    result.unit = recipe.unit;
    result.value = best(figures);
    result.baseline = best(baselines);
    result.ratio = recipe.baselineOverValue ? *result.baseline / *result.value : *result.value / *result.baseline;
    result.target = recipe.target;
    const bool largerIsBetter = (recipe.better == Better::higher) != recipe.baselineOverValue;
    result.met = largerIsBetter ? *result.ratio >= recipe.limit : *result.ratio <= recipe.limit;
    result.detail = {{recipe.figureKey, figures},
                     {recipe.baselineKey, baselines},
                     {"medianPairRatio",
                      recipe.baselineOverValue ? pairedRatio(baselines, figures) : pairedRatio(figures, baselines)}};
    for (const auto& [key, value] : recipe.detail.items()) result.detail[key] = value;
    return result;
}

}  // namespace galvoria::bench
