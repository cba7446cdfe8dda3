#pragma once

// Fixed texts that the program and its files use as defaults.

#include <string_view>

namespace harlune::strings {

inline constexpr std::string_view kDriverBaseName = "harlune2";        // 108
inline constexpr std::string_view kNewFilter = "NewFilter";            // 111
inline constexpr std::string_view kNoAdapterDescription = "指定無し";  // 112
inline constexpr std::string_view kNoAdapterName = "none";             // 113
inline constexpr std::string_view kNewRule = "NewRule";                // 115

// Settings files, relative to the settings folder.
inline constexpr std::string_view kGeneralSettingFile = "GeneralSetting.ini";                // 102
inline constexpr std::string_view kExternalCommandFile = "ExternalCommand.ini";              // 109
inline constexpr std::string_view kConnectionControlRuleFile = "ConnectionControlRule.ini";  // 116
inline constexpr std::string_view kPacketFilterSettingFile = "PacketFilterSetting.xml";      // 118
inline constexpr std::string_view kHtbSettingFile = "HtbSetting.xml";                        // 119

}  // namespace harlune::strings
