#include "core/monitor/host_resolver.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/ip_address.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 10s;

IpAddress Address(std::uint32_t n) {
  return Ipv4Address(10, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                     static_cast<std::uint8_t>(n));
}

// A name service answering from a script. Answers of an address are given
// out in order (an address without answers fails); a held address's lookup
// waits until it is released.
class ScriptedLookup : public HostNameLookup {
 public:
  ~ScriptedLookup() override {
    if (destroyed) {
      destroyed->set_value();
    }
  }

  std::optional<ReverseLookupAnswer> ReverseLookup(const IpAddress& addressNet) override {
    std::unique_lock lock(mutex_);
    calls_.push_back(addressNet);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_.contains(addressNet); });
    auto& queue = answers_[addressNet];
    if (queue.empty()) {
      return std::nullopt;
    }
    ReverseLookupAnswer answer = queue.front();
    queue.pop_front();
    return answer;
  }

  std::optional<std::string> LocalHostName() override { return localName; }

  std::optional<std::uint32_t> FirstAddressOf(const std::string& hostName) override {
    firstAddressAskedFor = hostName;
    return localAddress;
  }

  void Answer(const IpAddress& address, std::string official, std::string alias = {}) {
    const std::lock_guard lock(mutex_);
    answers_[address].push_back({std::move(official), std::move(alias)});
  }
  void Hold(const IpAddress& address) {
    const std::lock_guard lock(mutex_);
    held_.insert(address);
  }
  void Release(const IpAddress& address) {
    const std::lock_guard lock(mutex_);
    held_.erase(address);
    changed_.notify_all();
  }
  bool WaitForCalls(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return calls_.size() >= count; });
  }
  std::vector<IpAddress> Calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }

  std::optional<std::string> localName = "workstation";
  std::optional<std::uint32_t> localAddress = Ipv4(192, 168, 0, 2);
  std::string firstAddressAskedFor;
  std::shared_ptr<std::promise<void>> destroyed;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<IpAddress> calls_;
  std::map<IpAddress, std::deque<ReverseLookupAnswer>> answers_;
  std::set<IpAddress> held_;
};

// --- One name, blocking -------------------------------------------------

TEST(ResolveHostNameTest, NamesSpecialAddressesWithoutAskingTheNameService) {
  ScriptedLookup lookup;
  EXPECT_EQ(ResolveHostName(lookup, Ipv4Address(127, 0, 0, 1)), "localhost");
  EXPECT_EQ(ResolveHostName(lookup, IpAddress()), "0.0.0.0");
  EXPECT_EQ(ResolveHostName(lookup, Ipv4Address(127, 0, 0, 1), "box"), "box");
  EXPECT_EQ(ResolveHostName(lookup, IpAddress(), "box"), "box");
  // A local name that could not be found names nothing.
  EXPECT_EQ(ResolveHostName(lookup, IpAddress(), ""), "0.0.0.0");
  EXPECT_TRUE(lookup.Calls().empty());
  // Only 127.0.0.1 is special, not the rest of the loopback network.
  EXPECT_EQ(ResolveHostName(lookup, Ipv4Address(127, 0, 0, 2)), "127.0.0.2");
  EXPECT_EQ(lookup.Calls().size(), 1u);
}

TEST(ResolveHostNameTest, NamesIpv6SpecialAddressesAsTheIpv4OnesAre) {
  ScriptedLookup lookup;
  const IpAddress loopback = *ParseIpAddress("::1");
  const IpAddress unspecified = *ParseIpAddress("::");
  EXPECT_EQ(ResolveHostName(lookup, loopback), "localhost");
  EXPECT_EQ(ResolveHostName(lookup, unspecified), "::");
  EXPECT_EQ(ResolveHostName(lookup, loopback, "box"), "box");
  EXPECT_EQ(ResolveHostName(lookup, unspecified, "box"), "box");
  EXPECT_EQ(ResolveHostName(lookup, unspecified, ""), "::");
  // A mapped address is the IPv4 address, loopback and unspecified alike.
  EXPECT_EQ(ResolveHostName(lookup, *ParseIpAddress("::ffff:127.0.0.1")), "localhost");
  EXPECT_EQ(ResolveHostName(lookup, *ParseIpAddress("::ffff:0.0.0.0")), "0.0.0.0");
  EXPECT_TRUE(lookup.Calls().empty());
}

TEST(ResolveHostNameTest, AnIpv6AddressIsAskedForAndNamedByItsTextOnFailure) {
  ScriptedLookup lookup;
  const IpAddress named = *ParseIpAddress("2001:2::7");
  const IpAddress unnamed = *ParseIpAddress("2001:2:0:0:1:0:0:9");
  lookup.Answer(named, "v6.example.com");
  EXPECT_EQ(ResolveHostName(lookup, named), "v6.example.com");
  EXPECT_EQ(ResolveHostName(lookup, unnamed), "2001:2::1:0:0:9");
  // ::2 is neither loopback nor unspecified: the name service is asked.
  EXPECT_EQ(ResolveHostName(lookup, *ParseIpAddress("::2")), "::2");
  EXPECT_EQ(lookup.Calls(), (std::vector<IpAddress>{named, unnamed, *ParseIpAddress("::2")}));
}

TEST(ResolveHostNameTest, PrefersTheOfficialNameThenTheAliasThenTheDottedQuad) {
  ScriptedLookup lookup;
  const IpAddress a = Ipv4Address(192, 0, 2, 1);
  lookup.Answer(a, "www.example.com", "alias.example.com");
  lookup.Answer(a, "", "alias.example.com");
  lookup.Answer(a, "", "");
  EXPECT_EQ(ResolveHostName(lookup, a), "www.example.com");
  EXPECT_EQ(ResolveHostName(lookup, a), "alias.example.com (Alias)");
  EXPECT_EQ(ResolveHostName(lookup, a), "192.0.2.1");
  // No answer left: the lookup fails.
  EXPECT_EQ(ResolveHostName(lookup, a), "192.0.2.1");
}

TEST(ResolveHostNameTest, KeepsNamesFromTheNetworkOnOneLineAndWithinTheBuffer) {
  ScriptedLookup lookup;
  const IpAddress a = Ipv4Address(192, 0, 2, 1);
  lookup.Answer(a, "evil\r\nhost\x7f\t.example");
  lookup.Answer(a, "bad\xff\xc3utf8.\xe3\x81\x82");
  lookup.Answer(a, std::string(300, 'a'));
  lookup.Answer(a, "", std::string(300, 'b'));
  // A three-byte character that would straddle the limit is left out whole.
  lookup.Answer(a, std::string(253, 'c') + "\xe3\x81\x82");
  EXPECT_EQ(ResolveHostName(lookup, a), "evil??host??.example");
  EXPECT_EQ(ResolveHostName(lookup, a), "bad??utf8.\xe3\x81\x82");
  EXPECT_EQ(ResolveHostName(lookup, a), std::string(255, 'a'));
  EXPECT_EQ(ResolveHostName(lookup, a), std::string(247, 'b') + " (Alias)");
  EXPECT_EQ(ResolveHostName(lookup, a), std::string(253, 'c'));
}

// --- Domain shortening --------------------------------------------------

TEST(DomainOfHostTest, ShortensByTheTopLevelLabel) {
  EXPECT_EQ(DomainOfHost("x.y.com"), "y.com");
  EXPECT_EQ(DomainOfHost("a.b.x.y.museum"), "y.museum");
  EXPECT_EQ(DomainOfHost("x.y.jp"), "y.jp");
  EXPECT_EQ(DomainOfHost("w.x.y.co.jp"), "y.co.jp");
  EXPECT_EQ(DomainOfHost("x.y.co.jp"), "y.co.jp");
  EXPECT_EQ(DomainOfHost("y.co.jp"), "y.co.jp");
  EXPECT_EQ(DomainOfHost("x.y.lg.jp"), "y.lg.jp");
  EXPECT_EQ(DomainOfHost("x.y.de"), "x.y.de");
  EXPECT_EQ(DomainOfHost("a.b.x.y.co.uk"), "y.co.uk");
}

TEST(DomainOfHostTest, ComparesLabelsIgnoringCaseAndKeepsTheNamesCase) {
  EXPECT_EQ(DomainOfHost("Mail.Example.COM"), "Example.COM");
  EXPECT_EQ(DomainOfHost("www.Y.Co.JP"), "Y.Co.JP");
  EXPECT_EQ(DomainOfHost("www.Y.Jp"), "Y.Jp");
}

TEST(DomainOfHostTest, GivesNoDomainForShortNamesAndNumbers) {
  EXPECT_EQ(DomainOfHost(""), "");
  EXPECT_EQ(DomainOfHost("localhost"), "");
  EXPECT_EQ(DomainOfHost("y.com"), "");
  EXPECT_EQ(DomainOfHost("co.jp"), "");
  EXPECT_EQ(DomainOfHost("192.168.0.1"), "");
  EXPECT_EQ(DomainOfHost("10.0.0.0"), "");
  EXPECT_EQ(DomainOfHost("a.b.-5"), "");
  // A top-level label of zeros other than "0" is no number.
  EXPECT_EQ(DomainOfHost("a.b.00"), "a.b.00");
  // A dotted quad that failed to resolve names no domain either.
  EXPECT_EQ(DomainOfHost("203.0.113.9"), "");
}

TEST(DomainOfHostTest, GivesNoDomainForIpv6AddressText) {
  EXPECT_EQ(DomainOfHost("2001:2::7"), "");
  EXPECT_EQ(DomainOfHost("::1"), "");
  EXPECT_EQ(DomainOfHost("::"), "");
  EXPECT_EQ(DomainOfHost("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), "");
  // Mixed notation ends in a number, as a dotted quad does.
  EXPECT_EQ(DomainOfHost("64:ff9b::192.0.2.1"), "");
}

TEST(DomainOfHostTest, StaysInsideOddNames) {
  EXPECT_EQ(DomainOfHost("."), "");
  EXPECT_EQ(DomainOfHost(".."), "..");
  EXPECT_EQ(DomainOfHost("..co.jp"), ".co.jp");
  EXPECT_EQ(DomainOfHost("a..com"), ".com");
}

// --- The worker ---------------------------------------------------------

TEST(HostResolverTest, CachesNamesAndFailuresAndNeverAsksTwice) {
  auto lookup = std::make_shared<ScriptedLookup>();
  const IpAddress known = Ipv4Address(192, 0, 2, 1);
  const IpAddress unknown = Ipv4Address(192, 0, 2, 2);
  lookup->Answer(known, "known.example.com");
  HostResolver resolver(lookup);

  EXPECT_EQ(resolver.CachedName(known), "");
  resolver.QueueLookup(known);
  resolver.QueueLookup(unknown);
  resolver.QueueLookup(Ipv4Address(127, 0, 0, 1));
  resolver.QueueLookup(IpAddress());
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(resolver.CachedName(known), "known.example.com");
  EXPECT_EQ(resolver.CachedName(unknown), "192.0.2.2");
  EXPECT_EQ(resolver.CachedName(Ipv4Address(127, 0, 0, 1)), "localhost");
  EXPECT_EQ(resolver.CachedName(IpAddress()), "0.0.0.0");

  resolver.QueueLookup(known);
  resolver.QueueLookup(unknown);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  const std::vector<IpAddress> calls = lookup->Calls();
  EXPECT_EQ(std::multiset<IpAddress>(calls.begin(), calls.end()),
            (std::multiset<IpAddress>{known, unknown}));
}

TEST(HostResolverTest, ResolvesAndCachesIpv6AddressesApartFromIpv4Ones) {
  auto lookup = std::make_shared<ScriptedLookup>();
  const IpAddress v6 = *ParseIpAddress("2001:2::7");
  const IpAddress failing = *ParseIpAddress("2001:2::8");
  // The same low 32 bits as 2001:2::7, so a cache keyed by the IPv4 value
  // would mix the two up.
  const IpAddress v4 = IpAddress::FromIpv4(Ipv4(0, 0, 0, 7));
  lookup->Answer(v6, "v6.example.com");
  lookup->Answer(v4, "v4.example.com");
  HostResolver resolver(lookup);
  resolver.QueueLookup(v6);
  resolver.QueueLookup(failing);
  resolver.QueueLookup(v4);
  resolver.QueueLookup(*ParseIpAddress("::1"));
  resolver.QueueLookup(*ParseIpAddress("::"));
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(resolver.CachedName(v6), "v6.example.com");
  EXPECT_EQ(resolver.CachedName(failing), "2001:2::8");
  EXPECT_EQ(resolver.CachedName(v4), "v4.example.com");
  EXPECT_EQ(resolver.CachedName(*ParseIpAddress("::1")), "localhost");
  EXPECT_EQ(resolver.CachedName(*ParseIpAddress("::")), "::");
  // The mapped form is the IPv4 address: already cached, not asked again.
  EXPECT_EQ(resolver.CachedName(*ParseIpAddress("::ffff:0.0.0.7")), "v4.example.com");
  resolver.QueueLookup(*ParseIpAddress("::ffff:0.0.0.7"));
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  const std::vector<IpAddress> calls = lookup->Calls();
  EXPECT_EQ(std::multiset<IpAddress>(calls.begin(), calls.end()),
            (std::multiset<IpAddress>{v6, failing, v4}));
}

TEST(HostResolverTest, ResolvesTheNewestAddressFirstAndQueuesEachOnce) {
  auto lookup = std::make_shared<ScriptedLookup>();
  const IpAddress first = Address(1);
  lookup->Hold(first);
  HostResolver resolver(lookup);
  resolver.QueueLookup(first);
  ASSERT_TRUE(lookup->WaitForCalls(1));

  resolver.QueueLookup(Address(2));
  resolver.QueueLookup(Address(3));
  resolver.QueueLookup(Address(2));
  resolver.QueueLookup(Address(4));
  lookup->Release(first);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(lookup->Calls(), (std::vector<IpAddress>{first, Address(4), Address(3), Address(2)}));
}

TEST(HostResolverTest, KeepsTheFirstAnswerForAnAddress) {
  auto lookup = std::make_shared<ScriptedLookup>();
  const IpAddress a = Address(7);
  lookup->Answer(a, "first.example.com");
  lookup->Answer(a, "second.example.com");
  lookup->Hold(a);
  HostResolver resolver(lookup);
  resolver.QueueLookup(a);
  ASSERT_TRUE(lookup->WaitForCalls(1));
  // Not cached yet and no longer queued: queued again while in flight.
  resolver.QueueLookup(a);
  lookup->Release(a);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(lookup->Calls().size(), 2u);
  EXPECT_EQ(resolver.CachedName(a), "first.example.com");
}

TEST(HostResolverTest, QueuesAndResolvesNothingWhileResolvingIsOff) {
  auto lookup = std::make_shared<ScriptedLookup>();
  lookup->Answer(Address(1), "one.example.com");
  lookup->Answer(Address(2), "two.example.com");
  HostResolver resolver(lookup);
  resolver.QueueLookup(Address(1));
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));

  lookup->Hold(Address(2));
  resolver.QueueLookup(Address(2));
  ASSERT_TRUE(lookup->WaitForCalls(2));
  resolver.SetResolveHost(false);
  resolver.QueueLookup(Address(3));  // refused while off
  lookup->Release(Address(2));
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  // Names already cached are still given while off.
  EXPECT_EQ(resolver.CachedName(Address(1)), "one.example.com");
  EXPECT_EQ(resolver.CachedName(Address(2)), "two.example.com");

  resolver.SetResolveHost(true);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(lookup->Calls(), (std::vector<IpAddress>{Address(1), Address(2)}));
  EXPECT_EQ(resolver.CachedName(Address(3)), "");
}

TEST(HostResolverTest, KeepsQueuedAddressesWhileOffAndResolvesThemWhenOnAgain) {
  auto lookup = std::make_shared<ScriptedLookup>();
  lookup->Hold(Address(1));
  HostResolver resolver(lookup);
  resolver.QueueLookup(Address(1));
  ASSERT_TRUE(lookup->WaitForCalls(1));
  resolver.QueueLookup(Address(2));
  resolver.SetResolveHost(false);
  lookup->Release(Address(1));
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(lookup->Calls().size(), 1u);
  EXPECT_EQ(resolver.CachedName(Address(2)), "");

  resolver.SetResolveHost(true);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(resolver.CachedName(Address(2)), "10.0.0.2");
}

TEST(HostResolverTest, EmptiesTheCacheAfterTheRingIsUsedUp) {
  auto lookup = std::make_shared<ScriptedLookup>();
  const IpAddress first = Address(1);
  lookup->Hold(first);
  HostResolver resolver(lookup);
  resolver.QueueLookup(first);
  ASSERT_TRUE(lookup->WaitForCalls(1));
  for (std::uint32_t n = 2; n < kHostCacheRingSize; ++n) {
    resolver.QueueLookup(Address(n));
  }
  lookup->Release(first);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  const auto last = static_cast<std::uint32_t>(kHostCacheRingSize - 1);
  EXPECT_EQ(resolver.CachedName(first), "10.0.0.1");
  EXPECT_EQ(resolver.CachedName(Address(last)), Address(last).ToText());

  // An address already cached does not use up a place.
  resolver.QueueLookup(first);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(resolver.CachedName(first), "10.0.0.1");

  resolver.QueueLookup(Address(last + 1));
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(resolver.CachedName(first), "");
  EXPECT_EQ(resolver.CachedName(Address(last + 1)), "");

  // After the reset names are looked up again and cached again.
  resolver.QueueLookup(first);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(resolver.CachedName(first), "10.0.0.1");
  EXPECT_EQ(lookup->Calls().size(), kHostCacheRingSize + 1);
}

TEST(HostResolverTest, StopsWithoutWaitingForARunningLookupAndDropsItsAnswer) {
  auto lookup = std::make_shared<ScriptedLookup>();
  const IpAddress a = Address(5);
  lookup->Answer(a, "late.example.com");
  lookup->Hold(a);
  HostResolver resolver(lookup);
  resolver.QueueLookup(a);
  ASSERT_TRUE(lookup->WaitForCalls(1));

  auto stopped = std::async(std::launch::async, [&] { resolver.Stop(); });
  const bool returned = stopped.wait_for(kPatience) == std::future_status::ready;
  lookup->Release(a);
  ASSERT_TRUE(returned) << "Stop waited for the name service";
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  EXPECT_EQ(resolver.CachedName(a), "");
  resolver.QueueLookup(Address(6));
  resolver.Stop();
  EXPECT_EQ(lookup->Calls().size(), 1u);
}

TEST(HostResolverTest, DestroyingDuringALookupLeavesTheWorkerToFinishAlone) {
  auto destroyed = std::make_shared<std::promise<void>>();
  auto gone = destroyed->get_future();
  const IpAddress a = Address(5);
  auto lookup = std::make_shared<ScriptedLookup>();
  lookup->destroyed = destroyed;
  lookup->Hold(a);
  auto owner = std::make_unique<HostResolver>(lookup);
  owner->QueueLookup(a);
  ASSERT_TRUE(lookup->WaitForCalls(1));

  auto ended = std::async(std::launch::async, [&] { owner.reset(); });
  EXPECT_EQ(ended.wait_for(kPatience), std::future_status::ready);
  lookup->Release(a);
  lookup.reset();
  // The worker lets go of the name service once its lookup returns.
  EXPECT_EQ(gone.wait_for(kPatience), std::future_status::ready);
}

TEST(HostResolverTest, StopsAnIdleWorkerAtOnce) {
  auto lookup = std::make_shared<ScriptedLookup>();
  HostResolver resolver(lookup);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  auto stopped = std::async(std::launch::async, [&] { resolver.Stop(); });
  EXPECT_EQ(stopped.wait_for(kPatience), std::future_status::ready);
  resolver.QueueLookup(Address(1));
  EXPECT_TRUE(lookup->Calls().empty());
}

// --- Local host identity ------------------------------------------------

TEST(HostResolverTest, FindsTheLocalIdentityAndReportsNothingWhenItWorked) {
  auto lookup = std::make_shared<ScriptedLookup>();
  HostResolver resolver(lookup);
  ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
  const std::optional<LocalHostIdentity> identity = resolver.LocalIdentity();
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->name, "workstation");
  EXPECT_EQ(identity->address, Ipv4(192, 168, 0, 2));
  EXPECT_EQ(lookup->firstAddressAskedFor, "workstation");
  RecordingUserDialogs dialogs;
  resolver.ReportIdentityProblem(dialogs);
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST(HostResolverTest, ReportsAFailedLocalIdentityOnce) {
  struct Case {
    std::optional<std::string> name;
    std::optional<std::uint32_t> address;
    std::string_view message;
  };
  for (const Case& c : {Case{std::nullopt, Ipv4(192, 168, 0, 2), kHostNameError},
                        Case{"", Ipv4(192, 168, 0, 2), kHostNameError},
                        Case{"workstation", std::nullopt, kHostAddressError}}) {
    auto lookup = std::make_shared<ScriptedLookup>();
    lookup->localName = c.name;
    lookup->localAddress = c.address;
    lookup->Answer(Address(1), "one.example.com");
    HostResolver resolver(lookup);
    ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
    RecordingUserDialogs dialogs;
    resolver.ReportIdentityProblem(dialogs);
    resolver.ReportIdentityProblem(dialogs);
    EXPECT_EQ(dialogs.messages, (std::vector<std::string>{std::string(c.message)}));
    ASSERT_TRUE(resolver.LocalIdentity().has_value());
    EXPECT_EQ(resolver.LocalIdentity()->address, 0u);
    // Nothing else depends on it: names are still resolved.
    resolver.QueueLookup(Address(1));
    ASSERT_TRUE(resolver.WaitUntilIdle(kPatience));
    EXPECT_EQ(resolver.CachedName(Address(1)), "one.example.com");
  }
}

}  // namespace
}  // namespace harlune
