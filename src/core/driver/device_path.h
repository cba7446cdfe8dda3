#pragma once

// Adapters are addressed by the device path "\DEVICE\<adapter name>". Every
// caller builds it here.

#include <optional>
#include <string>
#include <string_view>

namespace harlune {

std::string AdapterDevicePath(std::string_view adapterName);

// The UTF-16 form sent in the bind request. Nothing when the text is not
// valid UTF-8 or is longer than the driver's 259 units: a long path is
// refused, never cut.
std::optional<std::u16string> DevicePathToUtf16(std::string_view devicePath);

}  // namespace harlune
