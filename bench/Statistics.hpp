#pragma once
// The figures taken from a case's runs.

#include <vector>

namespace galvoria::bench {

double median(std::vector<double> values);
// The fastest run: on a machine shared with other work, that work only ever adds time, so the
// fastest of several runs is the steadiest account of what the program itself takes.
double fastest(const std::vector<double>& values);
// The highest run (of a throughput: the fastest).
double highest(const std::vector<double>& values);
// The figure and its baseline are measured in pairs, one right after the other, so that both see
// the same load; the median of the pairs' ratios is reported beside the ratio of the fastest runs.
double pairedRatio(const std::vector<double>& figures, const std::vector<double>& baselines);
double rounded(double value, int decimals);

}  // namespace galvoria::bench
