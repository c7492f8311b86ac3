#include "host/PublishOptionsForm.hpp"

namespace galvoria::host {
namespace {

std::string optionValueText(const co::Value& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

PublishOptionsForm::PublishOptionsForm(PluginSession& session, co::ActionPtr action)
    : session_(session), action_(std::move(action)) {}

void PublishOptionsForm::build() {
    co::Error ignored;
    groups_ = session_.actionSettings(action_, values_, &ignored).value_or(std::vector<co::GroupPtr>{});
}

bool PublishOptionsForm::showsLists() const { return list(options::sourceList) != nullptr; }

std::string PublishOptionsForm::notice() const {
    if (showsLists()) {
        return {};
    }
    if (const auto label = findItem(groups_, options::notLoggedInLabel)) {
        return valueText(*label);
    }
    return "The plugin offers no publish options.";
}

bool PublishOptionsForm::shows(std::string_view identifier) const { return findItem(groups_, identifier) != nullptr; }

std::optional<std::string> PublishOptionsForm::labelText(std::string_view identifier) const {
    const auto label = findItem(groups_, identifier);
    return label ? std::optional<std::string>(valueText(*label)) : std::nullopt;
}

const co::COSettingsListItem* PublishOptionsForm::list(std::string_view identifier) const {
    return dynamic_cast<const co::COSettingsListItem*>(findItem(groups_, identifier).get());
}

std::vector<Choice> PublishOptionsForm::choices(std::string_view identifier) const {
    std::vector<Choice> out;
    const auto* listItem = list(identifier);
    if (listItem == nullptr) {
        return out;
    }
    const bool hasFixedEntries = identifier != options::sourceList;
    for (const auto& option : listItem->options()) {
        if (!option || option->isSeparator()) {
            continue;
        }
        std::string value = optionValueText(option->value());
        if (hasFixedEntries && (value == options::placeholderValue || value == options::createNewValue)) {
            continue;
        }
        out.push_back({std::move(value), option->title()});
    }
    return out;
}

std::optional<Choice> PublishOptionsForm::createEntry(std::string_view identifier) const {
    const auto* listItem = list(identifier);
    if (listItem == nullptr || identifier == options::sourceList) {
        return std::nullopt;
    }
    for (const auto& option : listItem->options()) {
        if (option && !option->isSeparator() && optionValueText(option->value()) == options::createNewValue) {
            return Choice{std::string(options::createNewValue), option->title()};
        }
    }
    return std::nullopt;
}

void PublishOptionsForm::set(std::string_view identifier, const std::string& value) {
    const std::string key(identifier);
    values_[key] = value;
    co::Error ignored;
    if (session_.updateActionValue(co::Value(value), key, action_, values_, &ignored).asksForRefresh()) {
        build();
    }
}

std::optional<PublishOptionsForm> openPublishOptions(PluginSession& session, std::uint64_t fileCount) {
    const auto action = session.publishAction(fileCount);
    if (!action) {
        return std::nullopt;
    }
    session.prepareRendering(action);
    PublishOptionsForm form(session, action);
    form.build();
    return form;
}

}  // namespace galvoria::host
