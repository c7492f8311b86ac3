#pragma once
// The publish action's options: the chain account or team -> workspace -> folder -> project, their
// updates and their validation.

#include <cstdint>
#include <string>
#include <vector>

#include "framework/PluginProtocols.hpp"
#include "service/Network.hpp"
#include "settings/ListingCaches.hpp"
#include "vocabulary/Preferences.hpp"

namespace galvoria::settings {

// Returns one group for the publish action and none for any other; loads listings into `caches`
// as needed in either case.
std::vector<co::GroupPtr> publishOptions(const Network& network, const Preferences& preferences, ListingCaches& caches,
                                         const co::ActionPtr& action, const co::Value& settings);
// A change of the folder or project list forgets the matching entry the last publish created.
bool didUpdateOptionValue(Preferences& preferences, const co::Value& value, const std::string& setting,
                          std::uint64_t* callbackAction);
bool validatePublishOptions(const Preferences& preferences, const co::Value& settings, const co::ActionPtr& action,
                            co::ErrorOut error);

}  // namespace galvoria::settings
