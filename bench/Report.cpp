#include "bench/Report.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>

#include "bench/Process.hpp"
#include "bench/Statistics.hpp"

namespace galvoria::bench {

namespace {

std::string firstLineOf(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string loadAverage() { return firstLineOf(readText("/proc/loadavg")); }

std::optional<std::string> curlVersion(const Paths& paths) {
    ProcessCall call;
    call.arguments = {"curl", "--version"};
    call.output = paths.logs() / "curl-version.txt";
    if (!run(call).succeeded()) return std::nullopt;
    return firstLineOf(readText(call.output));
}

std::string formatted(const std::optional<double>& value, int decimals = 3) {
    if (!value) return "-";
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << *value;
    return text.str();
}

void printTable(const std::vector<Case>& cases) {
    std::printf("\n%-22s %12s %12s %9s  %-11s %-4s %s\n", "case", "value", "baseline", "ratio", "unit", "met",
                "target");
    for (const Case& each : cases) {
        std::printf("%-22s %12s %12s %9s  %-11s %-4s %s\n", each.name.c_str(), formatted(each.value).c_str(),
                    formatted(each.baseline).c_str(), formatted(each.ratio).c_str(), each.unit.c_str(),
                    each.met ? "yes" : "NO", each.target.c_str());
    }
    std::printf(
        "\nvalue and baseline: the fastest of the runs (figure and baseline measured in pairs, one right after the "
        "other);\nratio: value over baseline (many files: baseline over value, how many times faster; throughputs: "
        "the fraction\nof the baseline reached). Medians are in the summary's details; the round trips' baseline is "
        "the 3 exchanges per file.\n\n");
}

Json caseJson(const Case& each) {
    const auto number = [](const std::optional<double>& value) { return value ? Json(rounded(*value, 4)) : Json(); };
    return {{"name", each.name},
            {"measure", each.measure},
            {"unit", each.unit},
            {"value", number(each.value)},
            {"baseline", number(each.baseline)},
            {"ratio", number(each.ratio)},
            {"target", each.target},
            {"met", each.met},
            {"detail", each.detail}};
}

}  // namespace

Json machine(const Paths& paths, const Plan& plan) {
    std::string cpu;
    std::istringstream cpuinfo(readText("/proc/cpuinfo"));
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.starts_with("model name")) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    std::uint64_t memoryKiB = 0;
    std::istringstream meminfo(readText("/proc/meminfo"));
    for (std::string line; std::getline(meminfo, line);) {
        if (line.starts_with("MemTotal:")) memoryKiB = std::stoull(line.substr(9));
    }
    utsname system{};
    uname(&system);
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    Json json = {{"date", date},
                 {"cpu", cpu},
                 {"cores", sysconf(_SC_NPROCESSORS_ONLN)},
                 {"memoryMiB", memoryKiB / 1024},
                 {"kernel", std::string(system.sysname) + " " + system.release},
                 {"service", GALVORIA_SERVICE_URL},
                 {"tlsService", paths.tlsOrigin},
                 {"quick", plan.quick},
                 {"loadAverageAtStart", loadAverage()}};
    if (const auto version = curlVersion(paths)) json["curl"] = *version;
    return json;
}

bool report(const Paths& paths, const std::map<std::string, Case>& cases, Json machine) {
    machine["loadAverageAtEnd"] = loadAverage();
    std::vector<Case> ordered;
    for (const char* name :
         {"one big file", "link limit", "client-bound link", "service form parsing", "memory", "memory growth",
          "many files", "connections", "client CPU", "one big file over TLS", "many files over TLS", "handshakes",
          "client CPU over TLS", "round trips per file", "warm options rebuild", "cold options walk", "load"}) {
        if (const auto found = cases.find(name); found != cases.end()) ordered.push_back(found->second);
    }
    if (ordered.size() != cases.size()) fail("a case has no place in the table");
    printTable(ordered);
    Json summary = {{"cases", Json::array()}, {"machine", machine}};
    for (const Case& each : ordered) summary["cases"].push_back(caseJson(each));
    fs::create_directories(paths.summary.parent_path());
    std::ofstream(paths.summary) << summary.dump(2) << '\n';
    std::printf("Summary: %s\n", paths.summary.string().c_str());
    return std::all_of(ordered.begin(), ordered.end(), [](const Case& each) { return each.met; });
}

}  // namespace galvoria::bench
