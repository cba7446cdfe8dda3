#pragma once

// The connection page's menu items that make filters, which both of its
// views offer.

#include <string_view>

namespace harlune {

inline constexpr std::string_view kFilterFromAddressesText =
    "このIPアドレスとポートでフィルタを新規作成(&I)...";
inline constexpr std::string_view kFilterFromProcessText =
    "このプロセス名でフィルタを新規作成(&P)...";

}  // namespace harlune
