// Arbitrary bytes as PacketFilterSetting.xml: a refusal gives its reason,
// and what is read writes a file that reads back as the same list, byte for
// byte the same when written again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/user_dialogs.h"
#include "core/base/xml_text.h"
#include "core/filter/packet_filter_file.h"
#include "core/filter/packet_filter_manager.h"
#include "fuzz_target.h"

namespace {

using harlune::PacketFilterManager;
using harlune::PacketFilterSetting;

class SilentDialogs : public harlune::UserDialogs {
 public:
  void ShowMessage(std::string_view /*text*/) override {}
  harlune::QuestionAnswer Ask(std::string_view, std::string_view,
                              harlune::QuestionButtons buttons) override {
    return harlune::DefaultAnswer(buttons);
  }
};

bool SameStored(const PacketFilterSetting& a, const PacketFilterSetting& b) {
  return static_cast<const _TBF_SETTING_DATA&>(a) == static_cast<const _TBF_SETTING_DATA&>(b) &&
         a.Name == b.Name && a.Comment == b.Comment && a.AppName == b.AppName &&
         a.LowerAdapterName == b.LowerAdapterName && a.ID == b.ID;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  SilentDialogs dialogs;
  PacketFilterManager first(dialogs);
  if (const auto error = harlune::ReadPacketFilters(bytes, first)) {
    if (error->empty() || first.Size() != 0) {
      __builtin_trap();  // a refusal says why and takes nothing
    }
    return 0;
  }
  std::string written;
  try {
    written = harlune::SerializePacketFilters(first);
  } catch (const harlune::XmlWriteError&) {
    return 0;  // a character reference to text Shift_JIS lacks: refused, by design
  }
  PacketFilterManager second(dialogs);
  if (harlune::ReadPacketFilters(written, second) || second.Size() != first.Size()) {
    __builtin_trap();
  }
  for (std::size_t i = 0; i < first.Size(); ++i) {
    if (!SameStored(first.At(i), second.At(i))) {
      __builtin_trap();
    }
  }
  if (harlune::SerializePacketFilters(second) != written) {
    __builtin_trap();
  }
  return 0;
}
