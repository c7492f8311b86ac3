// Where stored files live under the storage folder: one directory level per key segment, each
// segment percent-encoded, so that no key can name a path outside the folder.

#include "devserver/ServerImpl.hpp"

namespace galvoria::devserver {

namespace {

// A key segment as a file name. An encoded segment never holds '%' on its own, so the stand-ins
// cannot meet a real segment.
std::string storageName(const std::string& segment) {
    std::string encoded = percentEncodeSegment(segment);
    if (encoded.empty()) return "%";
    if (encoded == ".") return "%2E";
    if (encoded == "..") return "%2E%2E";
    if (encoded.size() > 200) return encoded.substr(0, 120) + "%~" + sha256Hex(segment).substr(0, 32);
    return encoded;
}

}  // namespace

std::filesystem::path storagePathForKey(const std::filesystem::path& root, const std::string& key) {
    std::filesystem::path path = root;
    std::size_t start = 0;
    while (true) {
        auto slash = key.find('/', start);
        path /= storageName(key.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return path;
}

}  // namespace galvoria::devserver
