#include "core/htb/htb_file.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "core/base/flag_text.h"
#include "core/base/xml_text.h"

namespace harlune {

namespace {

constexpr std::string_view kRootElement = "Root";
constexpr std::string_view kVersionAttribute = "version";
constexpr std::string_view kSendElement = "Send";
constexpr std::string_view kReceiveElement = "Receive";
constexpr std::string_view kInnerElement = "HTB_InnerClass";
constexpr std::string_view kLeafElement = "HTB_LeafClass";
constexpr std::string_view kChildrenElement = "Children";

// The stored settings of a class, its identifier included; neither its
// place in a tree nor its run-time state.
void CopySettings(const HTB_Class& from, HTB_Class& to) {
  to.ID = from.ID;
  to.AssuredRate = from.AssuredRate;
  to.AssuredRatePercentage = from.AssuredRatePercentage;
  to.CeilRate = from.CeilRate;
  to.CeilRatePercentage = from.CeilRatePercentage;
  to.AssuredRateOrder = from.AssuredRateOrder;
  to.CeilRateOrder = from.CeilRateOrder;
  to.Priority = from.Priority;
  to.Available = from.Available;
  to.Name = from.Name;
  to.Comment = from.Comment;
}

void WriteClassElement(XmlWriter& xml, const HTB_Class& cls) {
  const auto* leaf = dynamic_cast<const HTB_LeafClass*>(&cls);
  xml.Open(leaf != nullptr ? kLeafElement : kInnerElement);
  xml.TextElement("ID", std::to_string(cls.ID));
  xml.TextElement("AssuredRate", std::to_string(cls.AssuredRate));
  xml.TextElement("AssuredRatePercentage", std::to_string(cls.AssuredRatePercentage));
  xml.TextElement("CeilRate", std::to_string(cls.CeilRate));
  xml.TextElement("CeilRatePercentage", std::to_string(cls.CeilRatePercentage));
  xml.TextElement("AssuredRateOrder", std::to_string(cls.AssuredRateOrder));
  xml.TextElement("CeilRateOrder", std::to_string(cls.CeilRateOrder));
  xml.TextElement("Priority", std::to_string(cls.Priority));
  xml.TextElement("Available", FlagText(cls.Available ? 1 : 0));
  xml.TextElement("Name", cls.Name);
  xml.TextElement("Comment", cls.Comment);
  xml.Open(kChildrenElement);
  for (const auto& child : cls.Children) {
    WriteClassElement(xml, *child);
  }
  xml.Close();
  if (leaf != nullptr) {
    xml.TextElement("FilterID", std::to_string(leaf->FilterID));
    xml.TextElement("AvailableType", std::to_string(leaf->AvailableType));
    xml.TextElement("Quantum", std::to_string(leaf->Quantum));
  }
  xml.Close();
}

void ReadClassElement(const XmlElement& element, HTB_Class& cls);

// The classes of a "Children" element, appended to the class in order.
void ReadChildren(const XmlElement& children, HTB_Class& parent) {
  for (const XmlElement& element : children.children) {
    std::shared_ptr<HTB_Class> child;
    if (element.name == kLeafElement) {
      child = std::make_shared<HTB_LeafClass>();
    } else if (element.name == kInnerElement) {
      child = std::make_shared<HTB_InnerClass>();
    } else {
      continue;
    }
    ReadClassElement(element, *child);
    parent.AppendChild(std::move(child));
  }
}

void ReadClassElement(const XmlElement& element, HTB_Class& cls) {
  auto* leaf = dynamic_cast<HTB_LeafClass*>(&cls);
  for (const XmlElement& field : element.children) {
    const std::string& name = field.name;
    if (name == kChildrenElement) {
      if (leaf == nullptr) {
        ReadChildren(field, cls);
      }
      continue;
    }
    std::string text = field.Text();
    if (name == "ID") {
      cls.ID = ReadXmlInt32(text);
    } else if (name == "AssuredRate") {
      cls.AssuredRate = ReadXmlUint32(text);
    } else if (name == "AssuredRatePercentage") {
      cls.AssuredRatePercentage = ReadXmlUint32(text);
    } else if (name == "CeilRate") {
      cls.CeilRate = ReadXmlUint32(text);
    } else if (name == "CeilRatePercentage") {
      cls.CeilRatePercentage = ReadXmlUint32(text);
    } else if (name == "AssuredRateOrder") {
      cls.AssuredRateOrder = ReadXmlInt32(text);
    } else if (name == "CeilRateOrder") {
      cls.CeilRateOrder = ReadXmlInt32(text);
    } else if (name == "Priority") {
      cls.Priority = ReadXmlUint32(text);
    } else if (name == "Available") {
      cls.Available = IsTrueText(text);
    } else if (name == "Name") {
      cls.Name = std::move(text);
    } else if (name == "Comment") {
      cls.Comment = std::move(text);
    } else if (leaf != nullptr && name == "FilterID") {
      leaf->FilterID = ReadXmlInt32(text);
    } else if (leaf != nullptr && name == "AvailableType") {
      leaf->AvailableType = ReadXmlInt32(text);
    } else if (leaf != nullptr && name == "Quantum") {
      leaf->Quantum = ReadXmlUint32(text);
    }
  }
}

// Read roots in send, receive order; nullptr for a root the file leaves as it is.
using ReadRoots = std::array<std::shared_ptr<HTB_InnerClass>, 2>;

// Gives a fresh identifier to every read class whose ID is -1, a root's, or
// one seen before it over both trees (send first, depth-first), so that
// finding a class by ID always finds the one meant. Why not, when too few
// identifiers are free.
std::optional<std::string> SettleIdentifiers(const HTB_Manager& manager, const ReadRoots& read) {
  const std::array<const HTB_InnerClass*, 2> live = {manager.SendTree().Root().get(),
                                                     manager.ReceiveTree().Root().get()};
  std::set<std::int32_t> seen = {live[0]->ID, live[1]->ID};
  for (std::size_t side = 0; side < live.size(); ++side) {
    if (read[side] == nullptr) {
      live[side]->VisitSubtree([&seen](const HTB_Class& cls) { seen.insert(cls.ID); });
    }
  }
  std::vector<HTB_Class*> renumber;
  for (const auto& root : read) {
    if (root == nullptr) {
      continue;
    }
    root->VisitSubtree([&](HTB_Class& cls) {
      if (&cls != root.get() && (cls.ID == -1 || !seen.insert(cls.ID).second)) {
        renumber.push_back(&cls);
      }
    });
  }

  std::array<bool, HTB_Manager::kMaxClasses> used{};
  for (const std::int32_t id : seen) {
    if (id >= 0 && static_cast<std::size_t>(id) < used.size()) {
      used[static_cast<std::size_t>(id)] = true;
    }
  }
  for (HTB_Class* cls : renumber) {
    const auto free = std::find(used.begin(), used.end(), false);
    if (free == used.end()) {
      return "the file holds more classes than there are identifiers (" +
             std::to_string(HTB_Manager::kMaxClasses) + ")";
    }
    *free = true;
    cls->ID = static_cast<std::int32_t>(free - used.begin());
  }
  return std::nullopt;
}

// Puts the read settings and children into the live root, which keeps its
// identifier.
void TakeInto(HTB_InnerClass& root, HTB_InnerClass& read) {
  const std::int32_t id = root.ID;
  CopySettings(read, root);
  root.ID = id;
  root.Clear();
  const std::vector<std::shared_ptr<HTB_Class>> children = read.Children;
  for (const auto& child : children) {
    read.DetachChild(*child);
    root.AppendChild(child);
  }
}

}  // namespace

std::optional<std::string> ReadHtbSettings(std::string_view bytes, HTB_Manager& manager,
                                           const FilterLookup& filters) {
  XmlParseResult parsed = ParseXmlDocument(bytes);
  if (!parsed.document) {
    return std::move(parsed.error);
  }
  // The "version" attribute is not acted upon: there has only been one.
  const XmlElement& document = *parsed.document;

  const std::array<HTB_InnerClass*, 2> live = {manager.SendTree().Root().get(),
                                               manager.ReceiveTree().Root().get()};
  ReadRoots read{};
  for (std::size_t side = 0; side < read.size(); ++side) {
    if (document.children.size() <= side || document.children[side].children.empty()) {
      continue;
    }
    read[side] = std::make_shared<HTB_InnerClass>();
    CopySettings(*live[side], *read[side]);
    ReadClassElement(document.children[side].children.front(), *read[side]);
    read[side]->ID = live[side]->ID;
  }
  if (std::optional<std::string> error = SettleIdentifiers(manager, read)) {
    return error;
  }

  for (std::size_t side = 0; side < read.size(); ++side) {
    if (read[side] != nullptr) {
      TakeInto(*live[side], *read[side]);
    }
  }
  manager.LinkFilters(filters);
  return std::nullopt;
}

std::string SerializeHtbSettings(const HTB_Manager& manager) {
  XmlWriter xml;
  xml.Open(kRootElement);
  xml.Attribute(kVersionAttribute, kHtbFileVersion);
  xml.Open(kSendElement);
  WriteClassElement(xml, *manager.SendTree().Root());
  xml.Close();
  xml.Open(kReceiveElement);
  WriteClassElement(xml, *manager.ReceiveTree().Root());
  xml.Close();
  xml.Close();
  return xml.Finish();
}

SettingsLoadResult LoadHtbFile(const std::filesystem::path& path, HTB_Manager& manager,
                               const FilterLookup& filters, const LocalClock& now) {
  return LoadSettingsFile(
      path,
      [&manager, &filters](std::string_view bytes) {
        return ReadHtbSettings(bytes, manager, filters);
      },
      now);
}

SafeWriteResult SaveHtbFile(const std::filesystem::path& path, const HTB_Manager& manager) {
  return WriteSettingsFile(path, SerializeHtbSettings(manager));
}

}  // namespace harlune
