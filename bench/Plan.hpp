#pragma once
// What a benchmark run measures and where: the sizes and counts of the cases (full or quick), the
// folders and programs of the run, and the seeded destination every publish goes to.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace galvoria::bench {

namespace fs = std::filesystem;

constexpr std::uint64_t mebibyte = 1024ULL * 1024ULL;
constexpr std::uint64_t kibibyte = 1024ULL;
constexpr const char* demoEmail = "demo@galvoria.test";
constexpr const char* demoPassword = "galvoria-demo";
// The seeded destination every publish goes to: Demo Photographer › Personal › Été à Montréal ›
// Old Port at Dusk, and the other workspace of the options walk (Weddings 2024).
constexpr const char* demoSource = "acc-7d1f2c";
constexpr const char* demoWorkspace = "ws-4f1c2a";
constexpr const char* demoFolder = "fld-31a8e2";
constexpr const char* demoProject = "prj-1d4e8a";
constexpr const char* otherWorkspace = "ws-9b3e77";

struct Plan {
    bool quick = false;
    std::uint64_t bigFileBytes = 0;  // plain and over TLS
    // The link is measured with a file of nearly 1 GiB in both modes: a publish starts a process,
    // loads the plugin and libcurl and walks the lists (some 15 ms in all), which would weigh a tenth
    // of a 256 MiB transfer that loopback moves in about 0.13 s, and the figure is about the link.
    // 1023 MiB, as curl --data-binary holds the file in memory and refuses one of 1 GiB or more.
    std::uint64_t linkBytes = 1023 * mebibyte;
    int linkRuns = 0;
    int bigFileRuns = 0;
    std::vector<std::uint64_t> memorySizes;
    int memoryRuns = 0;
    int manyFiles = 0;
    std::uint64_t manyFileBytes = 256 * kibibyte;
    int manyFilesRuns = 0;
    int roundTripFiles = 0;
    std::uint64_t roundTripFileBytes = 64 * kibibyte;
    int roundTripRuns = 3;
    int latencyMs = 50;
    int loadRuns = 0;
    int rebuilds = 0;
    int bigWorkspaces = 1000;
    int bigFolders = 500;
    int bigProjects = 5000;
};

// The sizes and counts of a full run, or of a quick one.
Plan planFor(bool quick);

// The folders of the run and the programs in them, as the command line names them.
struct Paths {
    fs::path bin;
    fs::path work;
    fs::path scripts;
    fs::path summary;
    fs::path tlsBin;
    std::string tlsOrigin;
    fs::path tlsAuthority;
    fs::path tlsCertificate;
    fs::path tlsKey;

    [[nodiscard]] fs::path host() const { return bin / "galvoria-host"; }
    [[nodiscard]] fs::path bundle() const { return bin / "Galvoria.coplugin"; }
    [[nodiscard]] fs::path devserver() const { return bin / "galvoria-devserver"; }
    [[nodiscard]] fs::path optionsBench() const { return bin / "galvoria-bench-options"; }
    [[nodiscard]] fs::path data() const { return work / "data"; }
    [[nodiscard]] fs::path storage() const { return work / "storage"; }
    [[nodiscard]] fs::path prefs() const { return work / "preferences.json"; }
    [[nodiscard]] fs::path logs() const { return work / "logs"; }
};

// Ends the run: the benchmark cannot go on (a program failed, the service did not start).
[[noreturn]] void fail(const std::string& text);

// One indented line on standard error: how a case is getting on.
void progressLine(const std::string& text);

}  // namespace galvoria::bench
