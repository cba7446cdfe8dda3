#include "core/htb/htb_rows.h"

#include <algorithm>
#include <cstdio>

#include "core/base/c_format.h"
#include "core/driver/traffic_statistics.h"

namespace harlune {

namespace {

constexpr double kKiB = 1024.0;

double KiB(std::uint32_t rate) { return rate / kKiB; }

const HTB_LeafClass* AsLeaf(const HTB_Class& cls) {
  return dynamic_cast<const HTB_LeafClass*>(&cls);
}

std::optional<std::uint32_t> TextRgbOf(const HTB_Class& cls) {
  return cls.Applied ? std::nullopt : std::optional<std::uint32_t>(kNotAppliedTextRgb);
}

std::uint32_t BackgroundRgbOf(const HTB_Class& cls) {
  return AsLeaf(cls) != nullptr ? kLeafBackgroundRgb : kInnerBackgroundRgb;
}

// The text of the tree's top item when the class is one of the two roots.
std::optional<std::string_view> RootTextOf(const HTB_Class& cls) {
  if (cls.Parent != nullptr) {
    return std::nullopt;
  }
  switch (cls.ID) {
    case HTB_Manager::kSendRootID:
      return kSendRootText;
    case HTB_Manager::kReceiveRootID:
      return kReceiveRootText;
    default:
      return std::nullopt;
  }
}

// An item or a row of a root without a rate stands out and says what to do.
template <typename ItemOrRow>
void MarkRootWithoutRate(const HTB_Class& cls, ItemOrRow& out) {
  const auto rootText = RootTextOf(cls);
  if (!rootText.has_value() || !cls.IsRootWithoutRate()) {
    return;
  }
  out.rootWithoutRate = true;
  out.note = RootWithoutRateNote(*rootText);
  out.backgroundRgb = kRootWithoutRateBackgroundRgb;
}

void AppendTreeItems(const HTB_Class& cls, std::string text, std::size_t depth,
                     std::vector<HtbTreeItem>& items) {
  HtbTreeItem item;
  item.id = cls.ID;
  item.parentId = cls.Parent != nullptr ? cls.Parent->ID : -1;
  item.depth = depth;
  item.text = std::move(text);
  item.available = cls.Available;
  item.leaf = AsLeaf(cls) != nullptr;
  item.textRgb = TextRgbOf(cls);
  item.backgroundRgb = BackgroundRgbOf(cls);
  MarkRootWithoutRate(cls, item);
  items.push_back(std::move(item));
  for (const auto& child : cls.Children) {
    AppendTreeItems(*child, child->Name, depth + 1, items);
  }
}

// A leaf's measured rate is its filter's average; a leaf without a filter
// has measured nothing.
std::string CurrentRateText(const HTB_Class& cls) {
  if (const auto* leaf = AsLeaf(cls)) {
    const std::uint32_t average =
        leaf->Filter != nullptr ? AverageRate(leaf->Filter->RateHistory) : 0;
    return CFormat("%.1f KB/s", KiB(average));
  }
  return CFormat("(%.1f) KB/s", KiB(cls.CurrentRate));
}

std::string AllottedRateText(const HTB_Class& cls) {
  const auto* leaf = AsLeaf(cls);
  if (!cls.Available && leaf != nullptr && leaf->Filter != nullptr) {
    return CFormat("%.1f(%.1f) KB/s", KiB(cls.AllottedRate), KiB(leaf->Filter->TBFRate));
  }
  return CFormat("%.1f KB/s", KiB(cls.AllottedRate));
}

// The percentage and the priority print as the signed numbers the page
// always printed them as.
std::string LimitText(std::uint32_t rate, std::int32_t order, std::uint32_t percentage) {
  if (order == 1) {
    return CFormat("(%d%%)%.1f KB/s", static_cast<std::int32_t>(percentage), KiB(rate));
  }
  return CFormat("%.1f KB/s", KiB(rate));
}

std::string TargetFilterText(const HTB_Class& cls) {
  const auto* leaf = AsLeaf(cls);
  if (leaf == nullptr) {
    return std::string(kNotApplicableText);
  }
  return leaf->Filter != nullptr ? leaf->Filter->Name : std::string(kNoTargetFilterText);
}

std::string ConditionText(const HTB_Class& cls) {
  const auto* leaf = AsLeaf(cls);
  return std::string(leaf != nullptr ? AvailableTypeText(leaf->AvailableType) : kNotApplicableText);
}

void AppendSubtree(const std::shared_ptr<HTB_Class>& cls,
                   std::vector<std::shared_ptr<HTB_Class>>& list) {
  list.push_back(cls);
  for (const auto& child : cls->Children) {
    AppendSubtree(child, list);
  }
}

}  // namespace

std::string RootWithoutRateNote(std::string_view rootText) {
  const std::string root(rootText);
  return root + "の帯域が設定されていないため、帯域を制限していません。" + root +
         "を編集して回線の帯域を設定してください。";
}

std::vector<std::string> HtbRootNotes(const HTB_Manager& manager) {
  std::vector<std::string> notes;
  if (manager.SendTree().Root()->IsRootWithoutRate()) {
    notes.push_back(RootWithoutRateNote(kSendRootText));
  }
  if (manager.ReceiveTree().Root()->IsRootWithoutRate()) {
    notes.push_back(RootWithoutRateNote(kReceiveRootText));
  }
  return notes;
}

std::vector<HtbTreeItem> HtbTreeItems(const HTB_Manager& manager) {
  std::vector<HtbTreeItem> items;
  AppendTreeItems(*manager.SendTree().Root(), std::string(kSendRootText), 0, items);
  AppendTreeItems(*manager.ReceiveTree().Root(), std::string(kReceiveRootText), 0, items);
  return items;
}

std::vector<std::shared_ptr<HTB_Class>> HtbListClasses(const HTB_Manager& manager, bool showAll,
                                                       std::optional<std::int32_t> selectedId) {
  std::vector<std::shared_ptr<HTB_Class>> list;
  if (!showAll && selectedId.has_value()) {
    list = manager.List(*selectedId);
    if (!list.empty()) {
      return list;
    }
  }
  AppendSubtree(manager.SendTree().Root(), list);
  AppendSubtree(manager.ReceiveTree().Root(), list);
  return list;
}

HtbListRow MakeHtbListRow(const HTB_Class& cls) {
  const bool leaf = AsLeaf(cls) != nullptr;
  HtbListRow row;
  row.id = cls.ID;
  row.available = cls.Available;
  row.textRgb = TextRgbOf(cls);
  row.backgroundRgb = BackgroundRgbOf(cls);
  MarkRootWithoutRate(cls, row);
  row.cells = {cls.Name,
               std::string(leaf ? kLeafKindText : kInnerKindText),
               CurrentRateText(cls),
               AllottedRateText(cls),
               LimitText(cls.AssuredRate, cls.AssuredRateOrder, cls.AssuredRatePercentage),
               LimitText(cls.CeilRate, cls.CeilRateOrder, cls.CeilRatePercentage),
               CFormat("%d", static_cast<std::int32_t>(cls.Priority)),
               TargetFilterText(cls),
               ConditionText(cls),
               cls.Comment};
  return row;
}

std::vector<HtbListRow> HtbListRows(const HTB_Manager& manager, bool showAll,
                                    std::optional<std::int32_t> selectedId) {
  std::vector<HtbListRow> rows;
  for (const auto& cls : HtbListClasses(manager, showAll, selectedId)) {
    rows.push_back(MakeHtbListRow(*cls));
  }
  return rows;
}

std::string FilterHtbText(const HTB_Manager& manager, std::int32_t filterId) {
  // Leaves without a target hold -1; they drive no filter.
  if (filterId < 0) {
    return std::string(kNoHtbClassText);
  }
  const auto leaves = manager.LeavesOfFilter(filterId);
  if (leaves.empty()) {
    return std::string(kNoHtbClassText);
  }
  return leaves.size() == 1 ? leaves.front()->Name : std::string(kManyHtbClassesText);
}

std::uint32_t FilterShownRate(const HTB_Manager& manager, const PacketFilterSetting& filter) {
  if (filter.ID < 0) {
    return filter.TBFRate;
  }
  const auto leaves = manager.LeavesOfFilter(filter.ID);
  return leaves.size() == 1 ? leaves.front()->AllottedRate : filter.TBFRate;
}

}  // namespace harlune
