#pragma once
// The files the cases publish: bytes that do not compress, always the same for a seed, kept between
// runs under the work folder and written again only when missing or of another size.

#include <cstdint>
#include <string>
#include <vector>

#include "bench/Plan.hpp"

namespace galvoria::bench {

// A test file under the data folder, written when needed.
fs::path dataFile(const Paths& paths, const std::string& name, std::uint64_t bytes, std::uint64_t seed);
// `count` files of `bytes` each, photo-0001.jpg on, in a folder of the data folder.
std::vector<fs::path> smallFiles(const Paths& paths, const std::string& folder, int count, std::uint64_t bytes,
                                 std::uint64_t seed);
// The file of nearly 1 GiB the link is measured with.
fs::path linkFile(const Paths& paths, const Plan& plan);

// Reads a file through so that it is in the page cache when a timed run starts: on a machine
// whose memory other work also uses, the file may have been evicted, and whichever program read it
// first would pay for the disk.
void bringIntoCache(const fs::path& path);

// "16 MiB", "1 GiB", "256 KiB".
std::string sizeName(std::uint64_t bytes);
double mebibytesOf(std::uint64_t bytes);

}  // namespace galvoria::bench
