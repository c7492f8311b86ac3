#include "bench/TestData.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace galvoria::bench {

namespace {

// Fills a file with bytes that do not compress, quickly and always the same for a seed.
void writeDataFile(const fs::path& path, std::uint64_t bytes, std::uint64_t seed) {
    std::error_code error;
    if (fs::exists(path, error) && fs::file_size(path, error) == bytes) return;
    std::ofstream output(path, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> block(mebibyte / sizeof(std::uint64_t));
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ULL + 1;
    std::uint64_t left = bytes;
    while (left > 0) {
        for (auto& word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const std::uint64_t piece = std::min<std::uint64_t>(left, mebibyte);
        output.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(piece));
        left -= piece;
    }
    if (!output) fail("cannot write the test file " + path.string());
}

}  // namespace

void bringIntoCache(const fs::path& path) {
    std::ifstream input(path, std::ios::binary);
    std::vector<char> block(mebibyte);
    while (input.read(block.data(), static_cast<std::streamsize>(block.size())) || input.gcount() > 0) {
    }
}

fs::path dataFile(const Paths& paths, const std::string& name, std::uint64_t bytes, std::uint64_t seed) {
    fs::create_directories(paths.data());
    fs::path path = paths.data() / name;
    writeDataFile(path, bytes, seed);
    return path;
}

std::string sizeName(std::uint64_t bytes) {
    if (bytes >= 1024 * mebibyte && bytes % (1024 * mebibyte) == 0)
        return std::to_string(bytes / (1024 * mebibyte)) + " GiB";
    if (bytes % mebibyte == 0) return std::to_string(bytes / mebibyte) + " MiB";
    return std::to_string(bytes / kibibyte) + " KiB";
}

std::vector<fs::path> smallFiles(const Paths& paths, const std::string& folder, int count, std::uint64_t bytes,
                                 std::uint64_t seed) {
    fs::create_directories(paths.data() / folder);
    std::vector<fs::path> files;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "photo-%04d.jpg", i + 1);
        files.push_back(dataFile(paths, folder + "/" + name, bytes, seed + static_cast<std::uint64_t>(i)));
    }
    return files;
}

fs::path linkFile(const Paths& paths, const Plan& plan) {
    return dataFile(paths, "big-" + std::to_string(plan.linkBytes / mebibyte) + "MiB.jpg", plan.linkBytes, 1);
}

double mebibytesOf(std::uint64_t bytes) { return static_cast<double>(bytes) / static_cast<double>(mebibyte); }

}  // namespace galvoria::bench
