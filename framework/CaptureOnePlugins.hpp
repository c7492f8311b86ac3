#pragma once
// The host's plugin framework, all in one include.

#include "framework/Image.hpp"
#include "framework/PluginAction.hpp"
#include "framework/PluginProtocols.hpp"
#include "framework/PluginTask.hpp"
#include "framework/RenderSettingKeys.hpp"
#include "framework/SettingsElements.hpp"
#include "framework/Value.hpp"
