// Out-of-line members of the framework classes. The virtual destructors defined here anchor the
// classes' type information in the framework library, so host and plugin agree on it.

#include <cstring>
#include <fstream>
#include <iterator>

#include "framework/CaptureOnePlugins.hpp"

namespace co {

COPluginAction::~COPluginAction() = default;
COFileHandlingPluginTask::~COFileHandlingPluginTask() = default;
COSettingsItem::~COSettingsItem() = default;
COPluginBase::~COPluginBase() = default;
COFileHandling::~COFileHandling() = default;
COVariantProcessing::~COVariantProcessing() = default;
COActionSettings::~COActionSettings() = default;
COPublishingPlugin::~COPublishingPlugin() = default;
COSettings::~COSettings() = default;

std::shared_ptr<const COSettingsListOption> COSettingsListOption::separator() {
    static const std::shared_ptr<const COSettingsListOption> shared{new COSettingsListOption(SeparatorTag{})};
    return shared;
}

std::shared_ptr<const Image> Image::fromIcnsFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return nullptr;
    }
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // An icon file starts with the magic "icns" and its total length, big-endian.
    if (bytes.size() < 8 || std::memcmp(bytes.data(), "icns", 4) != 0) {
        return nullptr;
    }
    const std::uint32_t declared = (std::uint32_t{bytes[4]} << 24U) | (std::uint32_t{bytes[5]} << 16U) |
                                   (std::uint32_t{bytes[6]} << 8U) | std::uint32_t{bytes[7]};
    if (declared != bytes.size()) {
        return nullptr;
    }
    return std::shared_ptr<const Image>(new Image(path, std::move(bytes)));
}

}  // namespace co
