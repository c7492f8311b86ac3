#include "bench/Plan.hpp"

#include <iostream>
#include <stdexcept>

namespace galvoria::bench {

Plan planFor(bool quick) {
    Plan plan;
    plan.quick = quick;
    plan.bigFileBytes = (quick ? 256 : 1024) * mebibyte;
    plan.bigFileRuns = 7;
    plan.linkRuns = quick ? 5 : 7;
    plan.memorySizes = {16 * mebibyte, 256 * mebibyte, 1024 * mebibyte};
    plan.memoryRuns = quick ? 1 : 2;
    plan.manyFiles = quick ? 200 : 1000;
    plan.manyFilesRuns = 3;
    plan.roundTripFiles = quick ? 30 : 100;
    plan.loadRuns = quick ? 15 : 40;
    plan.rebuilds = quick ? 200 : 1000;
    return plan;
}

void fail(const std::string& text) { throw std::runtime_error(text); }

void progressLine(const std::string& text) { std::cerr << "  " << text << std::endl; }

}  // namespace galvoria::bench
