// Arbitrary bytes as HtbSetting.xml: a refusal gives its reason and leaves
// the trees; what is read keeps the roots 0 and 1 and unique identifiers,
// and writes a file that reads back as the same trees.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "core/base/xml_text.h"
#include "core/htb/htb_file.h"
#include "core/htb/htb_manager.h"
#include "fuzz_target.h"

namespace {

using harlune::HTB_Class;
using harlune::HTB_Manager;

bool SoundIdentifiers(const HTB_Manager& manager) {
  if (manager.SendTree().Root()->ID != HTB_Manager::kSendRootID ||
      manager.ReceiveTree().Root()->ID != HTB_Manager::kReceiveRootID) {
    return false;
  }
  std::set<std::int32_t> ids;
  bool unique = true;
  for (const auto* tree : {&manager.SendTree(), &manager.ReceiveTree()}) {
    tree->Root()->VisitSubtree([&](const HTB_Class& cls) {
      unique = unique && cls.ID != -1 && ids.insert(cls.ID).second;
    });
  }
  return unique;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  HTB_Manager first;
  const std::string untouched = harlune::SerializeHtbSettings(first);
  if (const auto error = harlune::ReadHtbSettings(bytes, first, {})) {
    if (error->empty() || harlune::SerializeHtbSettings(first) != untouched) {
      __builtin_trap();
    }
    return 0;
  }
  if (!SoundIdentifiers(first)) {
    __builtin_trap();
  }
  std::string written;
  try {
    written = harlune::SerializeHtbSettings(first);
  } catch (const harlune::XmlWriteError&) {
    return 0;  // a character reference to text Shift_JIS lacks: refused, by design
  }
  HTB_Manager second;
  if (harlune::ReadHtbSettings(written, second, {}) ||
      harlune::SerializeHtbSettings(second) != written || !SoundIdentifiers(second)) {
    __builtin_trap();
  }
  return 0;
}
