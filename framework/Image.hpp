#pragma once
// An image loaded from a bundle resource (the host draws it beside an action).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace co {

class Image {
public:
    // Loads an Apple icon image ("icns") file; no value when the file is unreadable or not an icon.
    static std::shared_ptr<const Image> fromIcnsFile(const std::filesystem::path& path);

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::size_t byteCount() const { return bytes_.size(); }

private:
    Image(std::filesystem::path path, std::vector<std::uint8_t> bytes)
        : path_(std::move(path)), bytes_(std::move(bytes)) {}
    std::filesystem::path path_;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace co
