#include "platform/linux/ifaddrs_adapter_source.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "protocol/ip_address.h"
#include "support/run_ip.h"

namespace harlune {
namespace {

namespace fs = std::filesystem;
using testing::RunIp;

bool IsLoopback(const std::string& name) {
  std::ifstream flags("/sys/class/net/" + name + "/flags");
  unsigned long value = 0;
  flags >> std::hex >> value;
  return (value & IFF_LOOPBACK) != 0;
}

std::set<std::string> NonLoopbackInterfaces() {
  std::set<std::string> names;
  struct if_nameindex* all = if_nameindex();
  for (const struct if_nameindex* item = all; item != nullptr && item->if_index != 0; ++item) {
    if (!IsLoopback(item->if_name)) {
      names.insert(item->if_name);
    }
  }
  if_freenameindex(all);
  return names;
}

// The interface's primary IPv4 address as SIOCGIFADDR gives it, or 0.
std::uint32_t PrimaryAddressOf(const std::string& name) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return 0;
  }
  ifreq request{};
  name.copy(request.ifr_name, IFNAMSIZ - 1);
  std::uint32_t address = 0;
  if (ioctl(fd, SIOCGIFADDR, &request) == 0) {
    sockaddr_in inet{};
    std::memcpy(&inet, &request.ifr_addr, sizeof inet);
    address = inet.sin_addr.s_addr;
  }
  close(fd);
  return address;
}

const SystemAdapter* Find(const AdapterListResult& result, const std::string& name) {
  const auto found =
      std::find_if(result.adapters.begin(), result.adapters.end(),
                   [&name](const SystemAdapter& adapter) { return adapter.name == name; });
  return found == result.adapters.end() ? nullptr : &*found;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "harlune-sys-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) == nullptr ? fs::path() : fs::path(pattern);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const fs::path& Path() const { return path_; }

  void WriteAlias(const std::string& interfaceName, const std::string& text) const {
    fs::create_directories(path_ / interfaceName);
    std::ofstream(path_ / interfaceName / "ifalias") << text;
  }

 private:
  fs::path path_;
};

TEST(IfaddrsAdapterSourceTest, ListsEveryInterfaceButLoopbackInIndexOrder) {
  const AdapterListResult result = IfaddrsAdapterSource().ListAdapters();
  const std::set<std::string> expected = NonLoopbackInterfaces();

  if (expected.empty()) {
    EXPECT_EQ(result.status, AdapterListResult::Status::NoData);
    EXPECT_TRUE(result.adapters.empty());
    return;
  }
  ASSERT_EQ(result.status, AdapterListResult::Status::Ok);

  std::set<std::string> listed;
  std::int32_t previousIndex = 0;
  for (const SystemAdapter& adapter : result.adapters) {
    SCOPED_TRACE(adapter.name);
    EXPECT_TRUE(listed.insert(adapter.name).second) << "listed twice";
    EXPECT_EQ(adapter.index, static_cast<std::int32_t>(if_nametoindex(adapter.name.c_str())));
    EXPECT_GT(adapter.index, previousIndex);
    previousIndex = adapter.index;
    EXPECT_FALSE(adapter.addresses.empty());
    EXPECT_FALSE(adapter.description.empty());
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(Find(result, "lo"), nullptr);
}

TEST(IfaddrsAdapterSourceTest, AddressesIncludeThePrimaryOneAndNeverMixInZero) {
  const AdapterListResult result = IfaddrsAdapterSource().ListAdapters();
  for (const SystemAdapter& adapter : result.adapters) {
    SCOPED_TRACE(adapter.name);
    const std::uint32_t primary = PrimaryAddressOf(adapter.name);
    if (primary == 0) {
      EXPECT_EQ(adapter.addresses, std::vector<std::uint32_t>{0});
    } else {
      EXPECT_NE(std::find(adapter.addresses.begin(), adapter.addresses.end(), primary),
                adapter.addresses.end());
      EXPECT_EQ(std::find(adapter.addresses.begin(), adapter.addresses.end(), 0u),
                adapter.addresses.end());
    }
  }
}

TEST(IfaddrsAdapterSourceTest, DescriptionNamesTheDeviceDriverAndTheInterface) {
  const AdapterListResult result = IfaddrsAdapterSource(fs::path("/nonexistent")).ListAdapters();
  int checked = 0;
  for (const SystemAdapter& adapter : result.adapters) {
    SCOPED_TRACE(adapter.name);
    const fs::path driverLink = fs::path("/sys/class/net") / adapter.name / "device" / "driver";
    std::error_code error;
    const fs::path driver = fs::read_symlink(driverLink, error);
    if (error) {
      // A virtual interface: its driver name, if it tells one, or its name.
      const std::string suffix = " (" + adapter.name + ")";
      EXPECT_TRUE(
          adapter.description == adapter.name ||
          (adapter.description.size() > suffix.size() && adapter.description.ends_with(suffix)));
      continue;
    }
    EXPECT_EQ(adapter.description, driver.filename().string() + " (" + adapter.name + ")");
    ++checked;
  }
  if (checked == 0) {
    GTEST_SKIP() << "no interface with a device driver to compare with";
  }
}

TEST(IfaddrsAdapterSourceTest, AliasReplacesTheDescription) {
  const AdapterListResult plain = IfaddrsAdapterSource(fs::path("/nonexistent")).ListAdapters();
  if (plain.adapters.size() < 2) {
    GTEST_SKIP() << "needs two interfaces besides loopback, found " << plain.adapters.size();
  }
  const SystemAdapter& aliased = plain.adapters[0];
  const SystemAdapter& emptyAlias = plain.adapters[1];
  TempFolder sys;
  ASSERT_FALSE(sys.Path().empty());
  sys.WriteAlias(aliased.name, "社内回線 uplink\n");
  sys.WriteAlias(emptyAlias.name, "\n");

  const AdapterListResult result = IfaddrsAdapterSource(sys.Path()).ListAdapters();

  ASSERT_EQ(result.adapters.size(), plain.adapters.size());
  EXPECT_EQ(result.adapters[0].description, "社内回線 uplink");
  EXPECT_EQ(result.adapters[1].description, emptyAlias.description);
  EXPECT_EQ(result.adapters[0].name, aliased.name);
  EXPECT_EQ(result.adapters[0].index, aliased.index);
}

constexpr const char* kTestInterface = "hl-test0";

bool RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A virtual interface of the first kind the kernel can make (dummy, else
// ifb: neither carries traffic of its own), deleted however the test ends.
class ScratchInterface {
 public:
  ScratchInterface() {
    for (const char* kind : {"dummy", "ifb"}) {
      if (RunQuietly(std::string("ip link add ") + kTestInterface + " type " + kind)) {
        kind_ = kind;
        return;
      }
    }
  }
  ~ScratchInterface() {
    if (!kind_.empty()) {
      RunQuietly(std::string("ip link del ") + kTestInterface);
    }
  }
  ScratchInterface(const ScratchInterface&) = delete;
  ScratchInterface& operator=(const ScratchInterface&) = delete;

  // The interface's kind, which is also its driver's name; empty when none
  // could be made.
  const std::string& Kind() const { return kind_; }

 private:
  std::string kind_;
};

TEST(IfaddrsAdapterSourceTest, ListsANewInterfaceWithItsAddressesAndAlias) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "creating a scratch interface needs root";
  }
  const ScratchInterface scratch;
  if (scratch.Kind().empty()) {
    GTEST_SKIP() << "'ip link add " << kTestInterface
                 << " type dummy|ifb' failed (no such module or no permission)";
  }
  const std::string name = kTestInterface;
  IfaddrsAdapterSource source;

  AdapterListResult result = source.ListAdapters();
  const SystemAdapter* adapter = Find(result, name);
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->index, static_cast<std::int32_t>(if_nametoindex(kTestInterface)));
  EXPECT_EQ(adapter->addresses, std::vector<std::uint32_t>{0});
  EXPECT_EQ(adapter->description, scratch.Kind() + " (" + name + ")");

  ASSERT_TRUE(RunQuietly("ip addr add 198.18.0.1/24 dev " + name));
  // A labelled secondary address belongs to the same adapter.
  ASSERT_TRUE(RunQuietly("ip addr add 198.18.0.2/24 dev " + name + " label " + name + ":1"));
  ASSERT_TRUE(RunQuietly("ip link set " + name + " alias 'Harlune test link'"));

  result = source.ListAdapters();
  adapter = Find(result, name);
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->addresses,
            (std::vector<std::uint32_t>{Ipv4(198, 18, 0, 1), Ipv4(198, 18, 0, 2)}));
  EXPECT_EQ(adapter->description, "Harlune test link");
  EXPECT_EQ(Find(result, name + ":1"), nullptr);
}

// A network namespace of the test's own holding two virtual interfaces:
// "hl6dual" with 198.18.0.1/24, 2001:2::1/64 and the link-local fe80::1/64,
// "hl6only" with 2001:2:0:1::1/64 alone. The links stay down, so the kernel
// adds no link-local address of its own, and nodad lists the addresses at
// once. The test's thread visits it with List(); the destructor removes it.
class Ipv6Namespace {
 public:
  Ipv6Namespace() : name_("hlifa-" + std::to_string(getpid())) {
    made_ = RunIp({"netns", "add", name_}) && Add("hl6dual") && Add("hl6only") &&
            Address("hl6dual", "198.18.0.1/24") && Address("hl6dual", "2001:2::1/64") &&
            Address("hl6dual", "fe80::1/64") && Address("hl6only", "2001:2:0:1::1/64");
  }
  ~Ipv6Namespace() { RunIp({"netns", "del", name_}); }
  Ipv6Namespace(const Ipv6Namespace&) = delete;
  Ipv6Namespace& operator=(const Ipv6Namespace&) = delete;

  bool made() const { return made_; }

  // The adapter list as the namespace shows it; nothing when the thread
  // could not get in or back.
  std::optional<AdapterListResult> List() const {
    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int space = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    std::optional<AdapterListResult> result;
    if (home >= 0 && space >= 0 && setns(space, CLONE_NEWNET) == 0) {
      result = IfaddrsAdapterSource(fs::path("/nonexistent")).ListAdapters();
      if (setns(home, CLONE_NEWNET) != 0) {
        std::abort();  // the other tests must not run inside the namespace
      }
    }
    for (const int fd : {home, space}) {
      if (fd >= 0) {
        close(fd);
      }
    }
    return result;
  }

 private:
  // A dummy interface, else an ifb one: neither carries traffic of its own.
  bool Add(const std::string& link) const {
    return RunIp({"-n", name_, "link", "add", link, "type", "dummy"}) ||
           RunIp({"-n", name_, "link", "add", link, "type", "ifb"});
  }
  bool Address(const std::string& link, const std::string& address) const {
    return RunIp({"-n", name_, "addr", "add", address, "dev", link, "nodad"});
  }

  std::string name_;
  bool made_ = false;
};

IpAddress V6(const char* text) { return *ParseIpAddress(text); }

TEST(IfaddrsAdapterSourceTest, ListsEachInterfacesIpv6AddressesLinkLocalIncluded) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "making a network namespace needs root";
  }
  const Ipv6Namespace space;
  if (!space.made()) {
    GTEST_SKIP() << "no namespace with dummy or ifb interfaces could be made";
  }
  const std::optional<AdapterListResult> result = space.List();
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, AdapterListResult::Status::Ok);
  // The namespace's own loopback (with ::1 once up) is never an adapter.
  ASSERT_EQ(result->adapters.size(), 2u);

  const SystemAdapter* dual = Find(*result, "hl6dual");
  ASSERT_NE(dual, nullptr);
  EXPECT_EQ(dual->addresses, std::vector<std::uint32_t>{Ipv4(198, 18, 0, 1)});
  EXPECT_THAT(dual->ipv6Addresses, ::testing::UnorderedElementsAre(V6("2001:2::1"), V6("fe80::1")));

  // IPv6 alone: the IPv4 list still says 0.0.0.0.
  const SystemAdapter* only = Find(*result, "hl6only");
  ASSERT_NE(only, nullptr);
  EXPECT_EQ(only->addresses, std::vector<std::uint32_t>{0});
  EXPECT_THAT(only->ipv6Addresses, ::testing::ElementsAre(V6("2001:2:0:1::1")));
}

}  // namespace
}  // namespace harlune
