#pragma once

// HtbSetting.xml: the send and receive trees as the Windows build stores
// them.
//
//   <?xml version='1.0' encoding='Shift_JIS'?>
//   <Root version="1000"><Send><HTB_InnerClass>...</HTB_InnerClass></Send>
//   <Receive><HTB_InnerClass>...</HTB_InnerClass></Receive></Root>
//
// A class element ("HTB_InnerClass" or "HTB_LeafClass") holds ID,
// AssuredRate, AssuredRatePercentage, CeilRate, CeilRatePercentage,
// AssuredRateOrder, CeilRateOrder, Priority, Available, Name, Comment,
// Children (the child classes' elements in order) and, for a leaf, FilterID,
// AvailableType and Quantum. Run-time members are not stored.
//
// Reading: the document element's first child element is the send side and
// the next one the receive side, whatever their names; the first class
// element of each side is read into that tree's root. A side that is missing
// or holds no element leaves its root as it is. Within a class element a
// later duplicate field wins, a missing field keeps the current value and an
// unknown name is ignored; "Children" makes a new class of every
// "HTB_LeafClass" and "HTB_InnerClass" element in it and skips other names
// (a leaf takes no children). "TRUE" must match exactly; a number that does
// not read gives 0.
//
// Identifiers are kept as the file gives them, with what keeps the trees
// sound: the roots stay 0 and 1; a class whose ID is -1, is the ID of a root
// or repeats an ID seen before it (send tree first, depth-first) gets the
// smallest free identifier, as a new class would. Other identifiers, those
// outside 0..511 included, stay. A file with more such classes than free
// identifiers is damaged.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/safe_file.h"
#include "core/htb/htb_class.h"
#include "core/htb/htb_manager.h"

namespace harlune {

// The "version" attribute the Windows build writes on "Root".
inline constexpr std::string_view kHtbFileVersion = "1000";

// Reads the bytes into the manager's two roots (their settings and
// children), then links every leaf to its filter. Returns nothing when it
// took them; when the bytes are damaged, why, and the trees are unchanged.
std::optional<std::string> ReadHtbSettings(std::string_view bytes, HTB_Manager& manager,
                                           const FilterLookup& filters);

// The file's bytes for both trees; a character Shift_JIS lacks is written as
// a character reference. Throws XmlWriteError, naming the field, when a text
// holds a character XML cannot carry.
std::string SerializeHtbSettings(const HTB_Manager& manager);

// Loads the file into the trees through LoadSettingsFile (a damaged file is
// moved aside and its backup tried).
SettingsLoadResult LoadHtbFile(const std::filesystem::path& path, HTB_Manager& manager,
                               const FilterLookup& filters, const LocalClock& now = LocalTimeNow);

// Writes the file with WriteSettingsFile. Throws XmlWriteError before
// touching the file when the trees cannot be stored.
SafeWriteResult SaveHtbFile(const std::filesystem::path& path, const HTB_Manager& manager);

}  // namespace harlune
