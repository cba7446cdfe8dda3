#include "core/driver/device_path.h"

#include "protocol/request_codes.h"
#include "protocol/utf16.h"

namespace harlune {

std::string AdapterDevicePath(std::string_view adapterName) {
  std::string path = "\\DEVICE\\";
  path += adapterName;
  return path;
}

std::optional<std::u16string> DevicePathToUtf16(std::string_view devicePath) {
  auto utf16 = protocol::Utf8ToUtf16(devicePath);
  if (!utf16 || utf16->empty() || utf16->size() > protocol::kMaxDevicePathUnits) {
    return std::nullopt;
  }
  return utf16;
}

}  // namespace harlune
