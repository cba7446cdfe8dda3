#include "core/monitor/adapter_table.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/ip_address.h"
#include "support/fake_adapter_source.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

constexpr std::uint32_t kAddressA = Ipv4(198, 18, 0, 1);
constexpr std::uint32_t kAddressB = Ipv4(198, 18, 1, 1);
constexpr std::uint32_t kAddressC = Ipv4(198, 19, 0, 1);

SystemAdapter Adapter(std::int32_t index, std::string name, std::string description,
                      std::vector<std::uint32_t> addresses) {
  SystemAdapter adapter;
  adapter.index = index;
  adapter.name = std::move(name);
  adapter.description = std::move(description);
  adapter.addresses = std::move(addresses);
  return adapter;
}

SystemAdapter Eth0() { return Adapter(2, "eth0", "virtio_net (eth0)", {kAddressA, kAddressB}); }
SystemAdapter Eth1() { return Adapter(3, "eth1", "Office uplink", {kAddressC}); }

void ExpectOnlyPseudoAdapter(const AdapterTable& table) {
  ASSERT_EQ(table.Entries().size(), 1u);
  const AdapterEntry& pseudo = table.Entries()[0];
  EXPECT_EQ(pseudo.index, -1);
  EXPECT_EQ(pseudo.addresses, std::vector<std::uint32_t>{0});
  EXPECT_EQ(pseudo.description, "指定無し");
  EXPECT_EQ(pseudo.name, "none");
  EXPECT_EQ(pseudo.valid, 0);
}

class AdapterTableRefreshTest : public ::testing::Test {
 protected:
  bool Refresh() { return table_.Refresh(source_, versionQuery_, dialogs_); }

  // Lists the adapters and makes every one of them valid, as a started
  // driver session leaves them.
  void StartWith(std::vector<SystemAdapter> adapters) {
    source_.SetAdapters(std::move(adapters));
    Refresh();
    for (std::size_t i = 1; i < table_.Entries().size(); ++i) {
      ASSERT_TRUE(table_.SetValid(table_.Entries()[i].name, true));
    }
  }

  FakeAdapterSource source_;
  RecordingUserDialogs dialogs_;
  AdapterTable table_;
  std::map<std::string, std::uint32_t, std::less<>> versions_;  // unknown adapters answer 0
  std::vector<std::string> asked_;
  DriverVersionQuery versionQuery_ = [this](std::string_view name) {
    asked_.emplace_back(name);
    const auto found = versions_.find(name);
    return found == versions_.end() ? std::uint32_t{0} : found->second;
  };
};

TEST_F(AdapterTableRefreshTest, NewTableHoldsOnlyThePseudoAdapter) {
  ExpectOnlyPseudoAdapter(table_);
}

TEST_F(AdapterTableRefreshTest, NoAdaptersIsAChangeOnlyWhenAdaptersWereListed) {
  source_.SetResult(FakeAdapterSource::NoAdapters());
  EXPECT_FALSE(Refresh());
  ExpectOnlyPseudoAdapter(table_);

  StartWith({Eth0()});
  source_.SetResult(FakeAdapterSource::NoAdapters());
  EXPECT_TRUE(Refresh());
  ExpectOnlyPseudoAdapter(table_);
  EXPECT_FALSE(Refresh());

  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_TRUE(asked_.empty());
}

TEST_F(AdapterTableRefreshTest, FailureIsShownOnceLeavesOnlyThePseudoAdapterAndIsNoChange) {
  StartWith({Eth0(), Eth1()});
  source_.SetResult(FakeAdapterSource::Failure(31));

  EXPECT_FALSE(Refresh());
  EXPECT_EQ(dialogs_.messages,
            std::vector<std::string>{"GetAdaptersInfoに失敗しました。\nReturn code : 31"});
  ExpectOnlyPseudoAdapter(table_);
  EXPECT_EQ(table_.AdapterValidOf("eth0"), 0);
  EXPECT_TRUE(asked_.empty());

  source_.SetResult(FakeAdapterSource::Failure(-2));
  EXPECT_FALSE(Refresh());
  ASSERT_EQ(dialogs_.messages.size(), 2u);
  EXPECT_EQ(dialogs_.messages[1], "GetAdaptersInfoに失敗しました。\nReturn code : -2");

  // The adapters come back as new ones: the session restart validates them.
  source_.SetAdapters({Eth0()});
  EXPECT_TRUE(Refresh());
  EXPECT_EQ(table_.AdapterValidOf("eth0"), 0);
  EXPECT_TRUE(asked_.empty());
}

TEST_F(AdapterTableRefreshTest, NewAdaptersAreAChangeAndWaitForTheSessionRestart) {
  source_.SetAdapters({Eth0(), Eth1()});
  EXPECT_TRUE(Refresh());

  const std::vector<AdapterEntry>& entries = table_.Entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].index, 2);
  EXPECT_EQ(entries[1].name, "eth0");
  EXPECT_EQ(entries[1].description, "virtio_net (eth0)");
  EXPECT_EQ(entries[1].addresses, (std::vector<std::uint32_t>{kAddressA, kAddressB}));
  EXPECT_EQ(entries[2].name, "eth1");
  EXPECT_EQ(entries[1].valid, 0);
  EXPECT_EQ(entries[2].valid, 0);
  EXPECT_TRUE(asked_.empty());

  source_.SetAdapters({Eth0(), Eth1(), Adapter(5, "wlan0", "iwlwifi (wlan0)", {0})});
  table_.SetValid("eth0", true);
  table_.SetValid("eth1", true);
  EXPECT_TRUE(Refresh());
  EXPECT_EQ(table_.AdapterValidOf("wlan0"), 0);
  EXPECT_TRUE(asked_.empty());
}

TEST_F(AdapterTableRefreshTest, ValidAdapterKeepingOneAddressStaysValidWithoutADriverRequest) {
  StartWith({Eth0()});
  source_.SetAdapters({Adapter(2, "eth0", "virtio_net (eth0)", {kAddressC, kAddressB})});

  EXPECT_FALSE(Refresh());
  EXPECT_EQ(table_.AdapterValidOf("eth0"), 1);
  EXPECT_EQ(table_.Entries()[1].addresses, (std::vector<std::uint32_t>{kAddressC, kAddressB}));
  EXPECT_TRUE(asked_.empty());
}

TEST_F(AdapterTableRefreshTest, InvalidAdapterAnsweringTheDriverVersionBecomesValidAndIsAChange) {
  source_.SetAdapters({Eth0(), Eth1()});
  Refresh();
  versions_["eth1"] = 20006;

  EXPECT_TRUE(Refresh());
  EXPECT_EQ(asked_, (std::vector<std::string>{"eth0", "eth1"}));
  EXPECT_EQ(table_.AdapterValidOf("eth0"), 0);
  EXPECT_EQ(table_.AdapterValidOf("eth1"), 1);

  // Once valid it is not asked again; eth0 still is.
  asked_.clear();
  EXPECT_FALSE(Refresh());
  EXPECT_EQ(asked_, std::vector<std::string>{"eth0"});
  EXPECT_EQ(table_.AdapterValidOf("eth1"), 1);
}

TEST_F(AdapterTableRefreshTest, OnlyKnownInvalidAdaptersAreAskedForTheVersion) {
  StartWith({Eth0()});
  source_.SetAdapters({Eth0(), Eth1()});
  Refresh();  // eth1 is new: not asked
  EXPECT_TRUE(asked_.empty());

  source_.SetAdapters({Eth0(), Eth1(), Adapter(7, "eth2", "e1000e (eth2)", {kAddressA})});
  EXPECT_TRUE(Refresh());
  EXPECT_EQ(asked_, std::vector<std::string>{"eth1"});
}

class AdapterTableOtherVersionTest : public AdapterTableRefreshTest,
                                     public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(AdapterTableOtherVersionTest, InvalidAdapterAnsweringAnotherVersionStaysInvalid) {
  source_.SetAdapters({Eth0()});
  Refresh();
  versions_["eth0"] = GetParam();

  // Silence is no news; another driver is, so that the session start that
  // follows meets it and ends the program.
  EXPECT_EQ(Refresh(), GetParam() != 0);
  EXPECT_EQ(asked_, std::vector<std::string>{"eth0"});
  EXPECT_EQ(table_.AdapterValidOf("eth0"), 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, AdapterTableOtherVersionTest,
                         ::testing::Values(0u, 20005u, 20007u, 0x06200000u));

TEST_F(AdapterTableRefreshTest, AdapterWithAnotherIdentityIsNew) {
  const std::vector<std::pair<std::string, SystemAdapter>> changes = {
      {"index", Adapter(9, "eth0", "virtio_net (eth0)", {kAddressA})},
      {"description", Adapter(2, "eth0", "Office uplink", {kAddressA})},
      {"name", Adapter(2, "eth0b", "virtio_net (eth0)", {kAddressA})},
      {"name case", Adapter(2, "ETH0", "virtio_net (eth0)", {kAddressA})},
      {"all addresses", Adapter(2, "eth0", "virtio_net (eth0)", {kAddressC})},
      {"no addresses", Adapter(2, "eth0", "virtio_net (eth0)", {})},
  };
  for (const auto& [what, changed] : changes) {
    SCOPED_TRACE(what);
    StartWith({Eth0()});
    asked_.clear();
    source_.SetAdapters({changed});

    EXPECT_TRUE(Refresh());
    ASSERT_EQ(table_.Entries().size(), 2u);
    EXPECT_EQ(table_.Entries()[1].valid, 0);
    EXPECT_TRUE(asked_.empty());
  }
}

TEST_F(AdapterTableRefreshTest, RemovedAdapterIsAChangeAndTheOthersKeepTheirFlag) {
  StartWith({Eth0(), Eth1()});
  source_.SetAdapters({Eth1()});

  EXPECT_TRUE(Refresh());
  ASSERT_EQ(table_.Entries().size(), 2u);
  EXPECT_EQ(table_.AdapterIndexOfName("eth0"), -1);
  EXPECT_EQ(table_.AdapterValidOf("eth1"), 1);
  EXPECT_TRUE(asked_.empty());
}

TEST_F(AdapterTableRefreshTest, ReorderedAdaptersFollowTheSystemOrderWithoutAChange) {
  StartWith({Eth0(), Eth1()});
  source_.SetAdapters({Eth1(), Eth0()});

  EXPECT_FALSE(Refresh());
  EXPECT_EQ(table_.Entries()[1].name, "eth1");
  EXPECT_EQ(table_.Entries()[2].name, "eth0");
  EXPECT_EQ(table_.AdapterValidOf("eth0"), 1);
  EXPECT_EQ(table_.AdapterValidOf("eth1"), 1);
}

class AdapterTableLookupTest : public AdapterTableRefreshTest {
 protected:
  void SetUp() override {
    source_.SetAdapters({
        Eth0(),                                                       // A, B
        Adapter(3, "eth1", "Office uplink", {kAddressC, kAddressA}),  // A again
        Adapter(4, "ifb0", "ifb0", {0}),                              // no IPv4 address
        Adapter(6, "tun0", "tun0", {}),
    });
    Refresh();
  }
};

TEST_F(AdapterTableLookupTest, IndexOfAddressTakesTheFirstEntryHoldingIt) {
  EXPECT_EQ(table_.AdapterIndexOfAddress(kAddressA), 2);
  EXPECT_EQ(table_.AdapterIndexOfAddress(kAddressB), 2);
  EXPECT_EQ(table_.AdapterIndexOfAddress(kAddressC), 3);
  EXPECT_EQ(table_.AdapterIndexOfAddress(Ipv4(198, 18, 0, 2)), -1);
  // The pseudo-adapter holds 0.0.0.0 before any adapter without an address.
  EXPECT_EQ(table_.AdapterIndexOfAddress(0), -1);
}

TEST_F(AdapterTableLookupTest, NameAndIndexLookupsFallBackToThePseudoAdapter) {
  EXPECT_EQ(table_.AdapterNameOf(3), "eth1");
  EXPECT_EQ(table_.AdapterNameOf(-1), "none");
  EXPECT_EQ(table_.AdapterNameOf(5), "none");

  EXPECT_EQ(table_.AdapterIndexOfName("ifb0"), 4);
  EXPECT_EQ(table_.AdapterIndexOfName("IFB0"), -1);
  EXPECT_EQ(table_.AdapterIndexOfName("eth"), -1);
  EXPECT_EQ(table_.AdapterIndexOfName("eth0 "), -1);
  EXPECT_EQ(table_.AdapterIndexOfName(""), -1);
}

TEST_F(AdapterTableLookupTest, FirstAddressFallsBackToThePseudoAdapter) {
  EXPECT_EQ(table_.FirstAddressOf(2), kAddressA);
  EXPECT_EQ(table_.FirstAddressOf(3), kAddressC);
  EXPECT_EQ(table_.FirstAddressOf(4), 0u);
  EXPECT_EQ(table_.FirstAddressOf(6), 0u);
  EXPECT_EQ(table_.FirstAddressOf(-1), 0u);
  EXPECT_EQ(table_.FirstAddressOf(99), 0u);
}

TEST_F(AdapterTableLookupTest, ValidFlagIsSetAndClearedByNameOnRealAdaptersOnly) {
  EXPECT_TRUE(table_.SetValid("eth1", true));
  EXPECT_EQ(table_.AdapterValidOf("eth1"), 1);
  EXPECT_EQ(table_.AdapterValidOf("eth0"), 0);
  EXPECT_TRUE(table_.SetValid("eth1", false));
  EXPECT_EQ(table_.AdapterValidOf("eth1"), 0);

  EXPECT_FALSE(table_.SetValid("eth9", true));
  EXPECT_EQ(table_.AdapterValidOf("eth9"), 0);
  EXPECT_FALSE(table_.SetValid("none", true));
  EXPECT_EQ(table_.AdapterValidOf("none"), 0);
  EXPECT_EQ(table_.Entries()[0].valid, 0);
}

IpAddress V6(std::string_view text) { return *ParseIpAddress(text); }

SystemAdapter WithIpv6(SystemAdapter adapter, std::vector<IpAddress> ipv6) {
  adapter.ipv6Addresses = std::move(ipv6);
  return adapter;
}

class AdapterTableIpv6Test : public AdapterTableRefreshTest {
 protected:
  void SetUp() override {
    // The same link-local address may sit on two links; the first wins, as
    // for a repeated IPv4 address.
    source_.SetAdapters({
        WithIpv6(Eth0(), {V6("2001:2::1"), V6("fe80::1")}),
        WithIpv6(Eth1(), {V6("fe80::1"), V6("2001:2:0:1::1")}),
        WithIpv6(Adapter(4, "ifb0", "ifb0", {0}), {V6("2001:2::5")}),  // IPv6 only
    });
    Refresh();
  }
};

TEST_F(AdapterTableIpv6Test, IndexOfAnIpv6AddressSearchesTheIpv6AddressesOnly) {
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("2001:2::1")), 2);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("fe80::1")), 2);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("2001:2:0:1::1")), 3);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("2001:2::5")), 4);
  // Nobody's address, and "::" (which the IPv6-only adapter's 0.0.0.0 is not).
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("2001:2::99")), -1);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("::")), -1);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("::1")), -1);
  // An IPv4 address, mapped or not, is looked for among the IPv4 ones; the
  // IPv6 address whose last bytes spell it is not that address.
  EXPECT_EQ(table_.AdapterIndexOfAddress(IpAddress::FromIpv4(kAddressC)), 3);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("::ffff:198.19.0.1")), 3);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("::198.19.0.1")), -1);
  EXPECT_EQ(table_.AdapterIndexOfAddress(IpAddress()), -1);
}

TEST_F(AdapterTableIpv6Test, EntriesTakeTheIpv6AddressesAndStayTheSameAdapterWhenTheyChange) {
  ASSERT_EQ(table_.Entries().size(), 4u);
  EXPECT_TRUE(table_.Entries()[0].ipv6Addresses.empty());
  EXPECT_EQ(table_.Entries()[2].ipv6Addresses,
            (std::vector<IpAddress>{V6("fe80::1"), V6("2001:2:0:1::1")}));
  ASSERT_TRUE(table_.SetValid("eth0", true));

  // A new IPv6 address (a privacy address, a renumbering) is no new adapter.
  source_.SetAdapters(
      {WithIpv6(Eth0(), {V6("2001:2::9")}), Eth1(), WithIpv6(Adapter(4, "ifb0", "ifb0", {0}), {})});
  EXPECT_FALSE(Refresh());
  EXPECT_EQ(table_.AdapterValidOf("eth0"), 1);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("2001:2::9")), 2);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("2001:2::1")), -1);
  EXPECT_EQ(table_.AdapterIndexOfAddress(V6("2001:2::5")), -1);
}

}  // namespace
}  // namespace harlune
