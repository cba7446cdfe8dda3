#pragma once

// The HTB page without its widgets: the items of the class tree, the rows
// of the class list with the text of every cell, and the HTB column of the
// filter page. Colours are 0xRRGGBB values; std::nullopt means the
// system's own colour (window text).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/filter/packet_filter_setting.h"
#include "core/htb/htb_class.h"
#include "core/htb/htb_manager.h"

namespace harlune {

// Text of a class that does not take part in sharing (not Applied).
inline constexpr std::uint32_t kNotAppliedTextRgb = 0x969696;
inline constexpr std::uint32_t kInnerBackgroundRgb = 0xFFFFFF;
// Light blue: the Windows colour value 0xFFEBE1 is blue-green-red.
inline constexpr std::uint32_t kLeafBackgroundRgb = 0xE1EBFF;
// Light amber: a root without a rate, which limits nothing
// (HTB_Class::IsRootWithoutRate). Its item and row also carry a note.
inline constexpr std::uint32_t kRootWithoutRateBackgroundRgb = 0xFFF2CC;

// What the page says about a root without a rate, naming it by its text
// ("送信ルート" or "受信ルート").
std::string RootWithoutRateNote(std::string_view rootText);

// The notes of the roots without a rate, the send root's first; empty
// when both roots have a rate.
std::vector<std::string> HtbRootNotes(const HTB_Manager& manager);

// One item of the class tree; the items come depth-first in child order,
// the send root first, so an item's parent always precedes it.
struct HtbTreeItem {
  std::int32_t id = -1;
  std::int32_t parentId = -1;  // -1 for the two roots
  std::size_t depth = 0;       // 0 for the two roots
  std::string text;            // "送信ルート" / "受信ルート" or the class name
  bool available = true;       // the item's icon
  bool leaf = false;
  bool rootWithoutRate = false;
  std::string note;  // the item's tool tip; empty but for a root without a rate
  std::optional<std::uint32_t> textRgb;
  std::uint32_t backgroundRgb = kInnerBackgroundRgb;
};

std::vector<HtbTreeItem> HtbTreeItems(const HTB_Manager& manager);

inline constexpr std::size_t kHtbColumnCount = 10;
inline constexpr std::array<std::string_view, kHtbColumnCount> kHtbColumnHeaders = {
    "クラス名", "種別",   "現在の帯域",   "設定帯域", "最低保証帯域",
    "上限帯域", "優先度", "対象フィルタ", "有効条件", "コメント"};

inline constexpr std::string_view kLeafKindText = "リーフ";
inline constexpr std::string_view kInnerKindText = "インナー";
inline constexpr std::string_view kNoTargetFilterText = "未設定";
inline constexpr std::string_view kNotApplicableText = "*";

struct HtbListRow {
  std::int32_t id = -1;
  bool available = true;  // the row's icon
  bool rootWithoutRate = false;
  std::string note;  // the row's tool tip; empty but for a root without a rate
  std::array<std::string, kHtbColumnCount> cells;
  std::optional<std::uint32_t> textRgb;
  std::uint32_t backgroundRgb = kInnerBackgroundRgb;
};

// The classes the list shows: with showAll off and a class selected, that
// class and its descendants; otherwise every class of the send tree and
// then of the receive tree. Depth-first in child order. A selection that
// names no class counts as none.
std::vector<std::shared_ptr<HTB_Class>> HtbListClasses(const HTB_Manager& manager, bool showAll,
                                                       std::optional<std::int32_t> selectedId);

HtbListRow MakeHtbListRow(const HTB_Class& cls);

std::vector<HtbListRow> HtbListRows(const HTB_Manager& manager, bool showAll,
                                    std::optional<std::int32_t> selectedId);

// The filter page's HTB column.
inline constexpr std::string_view kNoHtbClassText = "なし";
inline constexpr std::string_view kManyHtbClassesText = "警告:二つ以上のクラス";

// "なし" when no leaf drives the filter, the leaf's name when one does,
// kManyHtbClassesText when two or more do.
std::string FilterHtbText(const HTB_Manager& manager, std::int32_t filterId);

// The rate the filter page shows for a filter: the AllottedRate of the one
// leaf that drives it, else the filter's own TBFRate.
std::uint32_t FilterShownRate(const HTB_Manager& manager, const PacketFilterSetting& filter);

}  // namespace harlune
