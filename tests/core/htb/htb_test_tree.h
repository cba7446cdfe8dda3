#pragma once

// A small pair of HTB trees over two filters, and a restorer that records
// which filters got their own rate back and how many classes the trees held
// at that moment.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/filter/packet_filter_setting.h"
#include "core/htb/htb_class.h"
#include "core/htb/htb_manager.h"

namespace harlune::htb_test {

inline std::size_t ClassCount(const HTB_Manager& manager) {
  return manager.List(manager.SendTree().Root()->ID).size() +
         manager.List(manager.ReceiveTree().Root()->ID).size();
}

class RecordingRestorer : public FilterRateRestorer {
 public:
  explicit RecordingRestorer(const HTB_Manager& manager) : manager_(manager) {}

  void RestoreOwnRate(PacketFilterSetting& filter) override {
    restored.push_back(filter.ID);
    classCounts.push_back(ClassCount(manager_));
  }

  std::vector<std::int32_t> restored;
  std::vector<std::size_t> classCounts;  // at each call

 private:
  const HTB_Manager& manager_;
};

inline std::shared_ptr<HTB_InnerClass> Inner(std::string name) {
  auto inner = std::make_shared<HTB_InnerClass>();
  inner->Name = std::move(name);
  return inner;
}

inline std::shared_ptr<HTB_LeafClass> Leaf(std::string name, std::int32_t filterId) {
  auto leaf = std::make_shared<HTB_LeafClass>();
  leaf->Name = std::move(name);
  leaf->FilterID = filterId;
  return leaf;
}

// send root 0
//   Group 2
//     Web 3 (filter 10)
//     Mail 4 (filter 11)
//   Games 5 (no filter)
// receive root 1
//   Download 6 (filter 10)
//   Updates 7 (filter 12, which is not in the list)
class TwoTrees {
 public:
  TwoTrees() {
    for (const std::int32_t id : {10, 11}) {
      filters[id].ID = id;
    }
    Place(0, Inner("Group"));
    Place(2, Leaf("Web", 10));
    Place(2, Leaf("Mail", 11));
    Place(0, Leaf("Games", -1));
    Place(1, Leaf("Download", 10));
    Place(1, Leaf("Updates", 12));
    manager.LinkFilters(Lookup());
  }

  FilterLookup Lookup() {
    return [this](std::int32_t id) -> PacketFilterSetting* {
      const auto found = filters.find(id);
      return found == filters.end() ? nullptr : &found->second;
    };
  }

  HTB_LeafClass& LeafAt(std::int32_t id) { return dynamic_cast<HTB_LeafClass&>(*manager.Find(id)); }

  std::map<std::int32_t, PacketFilterSetting> filters;
  HTB_Manager manager;

 private:
  void Place(std::int32_t parentId, std::shared_ptr<HTB_Class> cls) {
    if (!manager.Add(parentId, std::move(cls))) {
      throw std::logic_error("test tree could not be built");
    }
  }
};

// The IDs of a list of classes, in order.
template <typename List>
std::vector<std::int32_t> IdsOf(const List& list) {
  std::vector<std::int32_t> ids;
  for (const auto& cls : list) {
    ids.push_back(cls->ID);
  }
  return ids;
}

}  // namespace harlune::htb_test
