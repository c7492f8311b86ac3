#include "vocabulary/DestinationChoice.hpp"

#include "vocabulary/ItemIdentifiers.hpp"

namespace galvoria {
namespace {

ListChoice listChoice(const co::Value& settings, std::string_view list, std::string_view name) {
    return {stringSetting(settings, list).value_or(std::string(options::createNewValue)),
            stringSetting(settings, name).value_or(std::string{})};
}

}  // namespace

std::optional<std::string> stringSetting(const co::Value& settings, std::string_view key) {
    if (!settings.is_object()) {
        return std::nullopt;
    }
    const auto found = settings.find(std::string(key));
    if (found == settings.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

bool ListChoice::createsNew() const { return value == options::createNewValue; }

DestinationChoice DestinationChoice::fromOptions(const co::Value& settings) {
    return {stringSetting(settings, options::workspaceList),
            listChoice(settings, options::folderList, options::newFolder),
            listChoice(settings, options::projectList, options::newProject)};
}

}  // namespace galvoria
