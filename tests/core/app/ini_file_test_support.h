#pragma once

// Shared pieces of the general settings file tests.

#include <initializer_list>
#include <string>
#include <string_view>

#include "core/monitor/adapter_table.h"
#include "protocol/ip_address.h"
#include "support/fake_adapter_source.h"
#include "support/recording_user_dialogs.h"

namespace harlune::testing {

// The lines, each ended by CRLF.
inline std::string Crlf(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (const std::string_view line : lines) {
    text.append(line).append("\r\n");
  }
  return text;
}

// An adapter table holding the pseudo-adapter and "eth0" with index 4.
inline AdapterTable TableWithEth0() {
  FakeAdapterSource source;
  source.SetAdapters({SystemAdapter{4, "Office uplink", "eth0", {Ipv4(192, 168, 0, 2)}}});
  RecordingUserDialogs dialogs;
  AdapterTable table;
  table.Refresh(
      source, [](std::string_view) { return 0u; }, dialogs);
  return table;
}

}  // namespace harlune::testing
