#include "bench/Statistics.hpp"

#include <algorithm>
#include <cmath>

namespace galvoria::bench {

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

double fastest(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

double highest(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

double pairedRatio(const std::vector<double>& figures, const std::vector<double>& baselines) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < figures.size() && i < baselines.size(); ++i)
        ratios.push_back(figures[i] / baselines[i]);
    return median(ratios);
}

double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

}  // namespace galvoria::bench
