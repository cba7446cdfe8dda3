#pragma once

// Fixed texts that the program and its files use as defaults.

#include <string_view>

namespace harlune::strings {

inline constexpr std::string_view kDriverBaseName = "harlune2";        // 108
inline constexpr std::string_view kNewFilter = "NewFilter";            // 111
inline constexpr std::string_view kNoAdapterDescription = "指定無し";  // 112
inline constexpr std::string_view kNoAdapterName = "none";             // 113
inline constexpr std::string_view kNewRule = "NewRule";                // 115

}  // namespace harlune::strings
