// store-writer FILE KEY FIRST: writes KEY of the preference store FILE over and over with the
// values FIRST, FIRST+1, ... and reports each value on standard output (one line) once the store
// holds it. It never stops by itself; the crash-safety test kills it at random moments.

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/PreferenceStore.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: store-writer FILE KEY FIRST\n");
        return 2;
    }
    platform::PreferenceStore store(argv[1]);
    const std::string key = argv[2];
    for (std::uint64_t value = std::stoull(argv[3]);; ++value) {
        store.setValue(std::to_string(value), key);
        // One short write per line: a kill never leaves half of one.
        const std::string line = std::to_string(value) + "\n";
        while (::write(STDOUT_FILENO, line.data(), line.size()) < 0)
            if (errno != EINTR) return 1;
    }
}
