#include "core/htb/htb_file.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/xml_text.h"
#include "htb_test_tree.h"

namespace harlune {
namespace {

using htb_test::Inner;
using htb_test::Leaf;
using Ids = std::vector<std::int32_t>;

const std::string kHeader = "<?xml version='1.0' encoding='Shift_JIS'?>\r\n";
const std::string kTaiiki = "\x91\xd1\x88\xe6";  // 帯域 in CP932

std::string CommonFields(const std::string& id, const std::string& name = "NewClass") {
  return "<ID>" + id +
         "</ID><AssuredRate>0</AssuredRate><AssuredRatePercentage>0</AssuredRatePercentage>"
         "<CeilRate>0</CeilRate><CeilRatePercentage>0</CeilRatePercentage><AssuredRateOrder>0"
         "</AssuredRateOrder><CeilRateOrder>0</CeilRateOrder><Priority>0</Priority><Available>"
         "TRUE</Available><Name>" +
         name + "</Name><Comment/>";
}

std::string EmptyRoot(const std::string& id) {
  return "<HTB_InnerClass>" + CommonFields(id) + "<Children/></HTB_InnerClass>";
}

// A document whose send root holds the given Children content.
std::string SendChildren(const std::string& children) {
  return kHeader + "<Root version=\"1000\"><Send><HTB_InnerClass><ID>0</ID><Children>" + children +
         "</Children></HTB_InnerClass></Send></Root>";
}

Ids AllIds(const HTB_Manager& manager) {
  Ids ids;
  for (const auto& cls : manager.List(0)) {
    ids.push_back(cls->ID);
  }
  for (const auto& cls : manager.List(1)) {
    ids.push_back(cls->ID);
  }
  return ids;
}

std::string MustRead(const std::string& bytes, HTB_Manager& manager) {
  const std::optional<std::string> error = ReadHtbSettings(bytes, manager, {});
  EXPECT_EQ(error, std::nullopt);
  return error.value_or("");
}

TEST(HtbFileWrite, TwoEmptyRootsAreSendAndReceiveUnderRoot) {
  const HTB_Manager manager;
  EXPECT_EQ(SerializeHtbSettings(manager), kHeader + "<Root version=\"1000\"><Send>" +
                                               EmptyRoot("0") + "</Send><Receive>" +
                                               EmptyRoot("1") + "</Receive></Root>\r\n");
}

TEST(HtbFileWrite, WritesClassesWithLeafFieldsLast) {
  HTB_Manager manager;
  auto leaf = Leaf("帯域", -1);
  leaf->AvailableType = 0;
  leaf->Quantum = 1500;
  ASSERT_TRUE(manager.Add(1, leaf));
  const std::string expected =
      kHeader + "<Root version=\"1000\"><Send>" + EmptyRoot("0") +
      "</Send><Receive><HTB_InnerClass>" + CommonFields("1") + "<Children><HTB_LeafClass>" +
      CommonFields("2", kTaiiki) +
      "<Children/><FilterID>-1</FilterID><AvailableType>0</AvailableType><Quantum>1500</Quantum>"
      "</HTB_LeafClass></Children></HTB_InnerClass></Receive></Root>\r\n";
  EXPECT_EQ(SerializeHtbSettings(manager), expected);
}

TEST(HtbFileRead, EveryStoredFieldReadsBackAndLeavesFindTheirFilters) {
  HTB_Manager manager;
  auto group = Inner("グループ & <x>");
  group->AssuredRate = 1000;
  group->AssuredRatePercentage = 10;
  group->CeilRate = 4000000000u;
  group->CeilRatePercentage = 90;
  group->AssuredRateOrder = 1;
  group->CeilRateOrder = 1;
  group->Priority = 3;
  group->Available = false;
  group->Comment = "コメント\r\n2行目";
  ASSERT_TRUE(manager.Add(0, group));
  auto web = Leaf("web", 7);
  web->AvailableType = 1;
  web->Quantum = 9;
  ASSERT_TRUE(manager.Add(group->ID, web));
  ASSERT_TRUE(manager.Add(group->ID, Leaf("none", -1)));
  ASSERT_TRUE(manager.Add(1, Leaf("down", 8)));
  manager.SendTree().Root()->CeilRate = 125000;
  const std::string bytes = SerializeHtbSettings(manager);

  PacketFilterSetting seven;
  seven.ID = 7;
  HTB_Manager back;
  ASSERT_EQ(ReadHtbSettings(bytes, back,
                            [&seven](std::int32_t id) { return id == 7 ? &seven : nullptr; }),
            std::nullopt);
  EXPECT_EQ(SerializeHtbSettings(back), bytes);
  EXPECT_EQ(AllIds(back), AllIds(manager));
  const auto readGroup = back.Find(group->ID);
  ASSERT_NE(readGroup, nullptr);
  EXPECT_EQ(readGroup->Parent, back.SendTree().Root().get());
  EXPECT_EQ(readGroup->Comment, "コメント\r\n2行目");
  EXPECT_EQ(readGroup->CeilRate, 4000000000u);
  EXPECT_FALSE(readGroup->Available);
  const auto readWeb = std::dynamic_pointer_cast<HTB_LeafClass>(back.Find(web->ID));
  ASSERT_NE(readWeb, nullptr);
  EXPECT_EQ(readWeb->Filter, &seven);
  EXPECT_EQ(readWeb->AvailableType, 1);
  EXPECT_EQ(readWeb->Quantum, 9u);
  EXPECT_EQ(back.LeavesOfFilter(-1).size(), 1u);  // FilterID -1 reads as -1
  EXPECT_EQ(back.LeavesOfFilter(8).front()->Filter, nullptr);
}

TEST(HtbFileRead, ReadsLikeTheWindowsBuild) {
  HTB_Manager manager;
  manager.ReceiveTree().Root()->Name = "kept";
  // Side names are not checked; a root element of another name still reads;
  // later duplicates win, unknown names are ignored, missing fields keep
  // their value, "True" is not "TRUE", and there is no receive side.
  MustRead(kHeader +
               "<Root><A><HTB_LeafClass><Name>x</Name><Bogus>1</Bogus><Name>send</Name>"
               "<Available>True</Available><FilterID>4</FilterID></HTB_LeafClass></A></Root>",
           manager);
  const auto send = manager.SendTree().Root();
  EXPECT_EQ(send->Name, "send");
  EXPECT_EQ(send->ID, 0);
  EXPECT_FALSE(send->Available);
  EXPECT_EQ(send->Priority, 0u);
  EXPECT_EQ(manager.ReceiveTree().Root()->Name, "kept");
}

TEST(HtbFileRead, AStrangerAmongChildrenIsSkipped) {
  HTB_Manager manager;
  MustRead(SendChildren("<HTB_LeafClass><ID>2</ID></HTB_LeafClass><Stranger><ID>9</ID>"
                        "</Stranger><HTB_LeafClass><ID>3</ID></HTB_LeafClass>"),
           manager);
  EXPECT_EQ(AllIds(manager), (Ids{0, 2, 3, 1}));
  for (const auto& child : manager.SendTree().Root()->Children) {
    EXPECT_NE(std::dynamic_pointer_cast<HTB_LeafClass>(child), nullptr);
  }
}

TEST(HtbFileRead, ALeafTakesNoChildren) {
  HTB_Manager manager;
  MustRead(SendChildren("<HTB_LeafClass><ID>2</ID><Children><HTB_LeafClass><ID>3</ID>"
                        "</HTB_LeafClass></Children></HTB_LeafClass>"),
           manager);
  EXPECT_EQ(AllIds(manager), (Ids{0, 2, 1}));
}

TEST(HtbFileRead, IdentifiersStayUniqueAndRootsKeepTheirs) {
  HTB_Manager manager;
  MustRead(kHeader +
               "<Root><Send><HTB_InnerClass><ID>7</ID><Children>"
               "<HTB_InnerClass><ID>5</ID><Children><HTB_LeafClass><ID>5</ID></HTB_LeafClass>"
               "</Children></HTB_InnerClass><HTB_LeafClass><ID>1</ID></HTB_LeafClass>"
               "<HTB_LeafClass><ID>600</ID></HTB_LeafClass><HTB_LeafClass/>"
               "</Children></HTB_InnerClass></Send><Receive><HTB_InnerClass><Children>"
               "<HTB_LeafClass><ID>2</ID></HTB_LeafClass><HTB_LeafClass><ID>600</ID>"
               "</HTB_LeafClass></Children></HTB_InnerClass></Receive></Root>",
           manager);
  // Roots 0 and 1; 5 and 600 kept where first seen, 2 kept; the repeated
  // 5, the 1 that would hide the receive root, the class without ID and
  // the second 600 get 3, 4, 6 and 7.
  EXPECT_EQ(AllIds(manager), (Ids{0, 5, 3, 4, 600, 6, 1, 2, 7}));
  EXPECT_EQ(manager.Find(1), manager.ReceiveTree().Root());
  EXPECT_EQ(manager.FreeIdentifier(), 8);
}

TEST(HtbFileRead, MoreClassesThanIdentifiersIsDamaged) {
  std::string children;
  for (int i = 0; i < 511; ++i) {
    children += "<HTB_LeafClass/>";
  }
  HTB_Manager manager;
  EXPECT_TRUE(ReadHtbSettings(SendChildren(children), manager, {}).has_value());
  EXPECT_TRUE(manager.SendTree().Root()->Children.empty());
  children.resize(children.size() - std::string("<HTB_LeafClass/>").size());
  MustRead(SendChildren(children), manager);
  EXPECT_EQ(manager.FreeIdentifier(), -1);
}

TEST(HtbFileRead, ADamagedDocumentLeavesTheTrees) {
  HTB_Manager manager;
  ASSERT_TRUE(manager.Add(0, Leaf("mine", 1)));
  for (const std::string& bytes : {std::string(), kHeader + "<Root><Send>",
                                   kHeader + "<Root><Send><HTB_InnerClass><Name>\xff</Name>"
                                             "</HTB_InnerClass></Send></Root>"}) {
    EXPECT_TRUE(ReadHtbSettings(bytes, manager, {}).has_value()) << bytes;
  }
  EXPECT_EQ(AllIds(manager), (Ids{0, 2, 1}));
}

TEST(HtbFileWrite, ANameShiftJisLacksIsStoredAsReferencesAndReadsBack) {
  HTB_Manager manager;
  ASSERT_TRUE(manager.Add(0, Leaf("한국 😀", 3)));
  manager.ReceiveTree().Root()->Comment = "café";
  const std::string bytes = SerializeHtbSettings(manager);
  EXPECT_NE(bytes.find("<Name>&#xD55C;&#xAD6D; &#x1F600;</Name>"), std::string::npos) << bytes;
  HTB_Manager back;
  ASSERT_EQ(ReadHtbSettings(bytes, back, {}), std::nullopt);
  EXPECT_EQ(back.Find(2)->Name, "한국 😀");
  EXPECT_EQ(back.ReceiveTree().Root()->Comment, "café");
  // A control character no XML file can hold is still refused.
  manager.ReceiveTree().Root()->Comment = "\x01";
  EXPECT_THROW(SerializeHtbSettings(manager), XmlWriteError);
}

TEST(HtbFilePath, SavesLoadsAndTellsMissingFromDamaged) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("harlune-htb-file-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / "HtbSetting.xml";

  HTB_Manager manager;
  EXPECT_EQ(LoadHtbFile(path, manager, {}).outcome, SettingsLoadOutcome::kMissing);
  ASSERT_TRUE(manager.Add(0, Leaf("web", 3)));
  ASSERT_TRUE(SaveHtbFile(path, manager).ok());
  HTB_Manager back;
  EXPECT_EQ(LoadHtbFile(path, back, {}).outcome, SettingsLoadOutcome::kLoaded);
  EXPECT_EQ(AllIds(back), (Ids{0, 2, 1}));

  std::ofstream(path) << "<Root>";
  HTB_Manager third;
  EXPECT_EQ(LoadHtbFile(path, third, {}).outcome, SettingsLoadOutcome::kDamagedMovedAside);
  EXPECT_EQ(AllIds(third), (Ids{0, 1}));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace harlune
