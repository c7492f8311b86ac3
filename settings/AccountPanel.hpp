#pragma once
// The plugin-wide account panel: log in and out.

#include <cstdint>
#include <string>
#include <vector>

#include "framework/PluginProtocols.hpp"
#include "service/Network.hpp"

namespace galvoria::settings {

std::vector<co::GroupPtr> accountPanel();
bool didUpdateAccountValue(const co::Value& value, const std::string& setting);
bool handleAccountEvent(const Network& network, std::uint64_t event, const co::ItemPtr& item, co::ErrorOut error,
                        const co::SettingsCallback& callback);

}  // namespace galvoria::settings
