#include "settings/SourceOrder.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include <utf8proc.h>

namespace galvoria::settings {
namespace {

struct FreeDeleter {
    void operator()(utf8proc_uint8_t* text) const { std::free(text); }
};
using MallocedText = std::unique_ptr<utf8proc_uint8_t, FreeDeleter>;

constexpr char32_t strayByteBase = 0x110000;

// Decodes UTF-8; each byte that starts no valid sequence becomes strayByteBase + byte.
std::u32string decodeLeniently(const utf8proc_uint8_t* text, std::size_t length) {
    std::u32string scalars;
    scalars.reserve(length);
    std::size_t offset = 0;
    while (offset < length) {
        utf8proc_int32_t scalar = -1;
        const utf8proc_ssize_t used =
            utf8proc_iterate(text + offset, static_cast<utf8proc_ssize_t>(length - offset), &scalar);
        if (used <= 0 || scalar < 0) {
            scalars.push_back(strayByteBase + text[offset]);
            ++offset;
            continue;
        }
        scalars.push_back(static_cast<char32_t>(scalar));
        offset += static_cast<std::size_t>(used);
    }
    return scalars;
}

}  // namespace

std::u32string sourceSortKey(std::string_view name) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
    utf8proc_uint8_t* composed = nullptr;
    // An explicit length (no NULLTERM option) so that an embedded NUL is a character like any other.
    const utf8proc_ssize_t composedLength =
        utf8proc_map(bytes, static_cast<utf8proc_ssize_t>(name.size()), &composed,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    const MallocedText owner(composed);
    if (composedLength < 0 || composed == nullptr) {
        return decodeLeniently(bytes, name.size());
    }
    return decodeLeniently(composed, static_cast<std::size_t>(composedLength));
}

void sortWorkspaceSources(std::vector<WorkspaceSource>& sources) {
    std::vector<std::pair<std::u32string, WorkspaceSource>> keyed;
    keyed.reserve(sources.size());
    for (auto& source : sources) {
        keyed.emplace_back(sourceSortKey(source.name), std::move(source));
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    sources.clear();
    for (auto& [key, source] : keyed) {
        sources.push_back(std::move(source));
    }
}

}  // namespace galvoria::settings
