#pragma once
// The host's side of the publish options: the values it keeps, keyed by item identifier, and the
// elements the plugin built from them last. Every choice is reported to the plugin as the
// application reports an edit, and the elements are built again when the plugin asks for it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Choices.hpp"
#include "host/PluginSession.hpp"
#include "vocabulary/ItemIdentifiers.hpp"

namespace galvoria::host {

class PublishOptionsForm {
public:
    PublishOptionsForm(PluginSession& session, co::ActionPtr action);

    // Asks the plugin for the elements with the values held now.
    void build();

    // The plugin shows the lists (and not the notice for a logged-out user).
    [[nodiscard]] bool showsLists() const;
    // The text the plugin shows instead of the lists; empty when it shows them.
    [[nodiscard]] std::string notice() const;
    [[nodiscard]] bool shows(std::string_view identifier) const;
    // The text of a label the plugin shows, when it shows it.
    [[nodiscard]] std::optional<std::string> labelText(std::string_view identifier) const;

    // A list's entries that name something on the service (placeholder, create-new entry and
    // separators left out), in the plugin's order.
    [[nodiscard]] std::vector<Choice> choices(std::string_view identifier) const;
    // The list's "+ Create New ..." entry, when it has one.
    [[nodiscard]] std::optional<Choice> createEntry(std::string_view identifier) const;

    // The person's edit of one item: held, reported to the plugin, and the elements built again
    // when the plugin asks for it.
    void set(std::string_view identifier, const std::string& value);

    [[nodiscard]] const co::Value& values() const { return values_; }
    [[nodiscard]] const co::ActionPtr& action() const { return action_; }

private:
    [[nodiscard]] const co::COSettingsListItem* list(std::string_view identifier) const;

    PluginSession& session_;
    co::ActionPtr action_;
    co::Value values_ = co::Value::object();
    std::vector<co::GroupPtr> groups_;
};

// The publish options as the application first shows them for `fileCount` files, with the
// listings they need; no value when the plugin offers no publish action.
std::optional<PublishOptionsForm> openPublishOptions(PluginSession& session, std::uint64_t fileCount);

}  // namespace galvoria::host
