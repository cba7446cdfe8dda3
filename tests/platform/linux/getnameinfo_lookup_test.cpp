#include "platform/linux/getnameinfo_lookup.h"

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "protocol/ip_address.h"

namespace harlune {
namespace {

// Only the loopback address is ever looked up, and only when the hosts file
// names it, so that the name service answers from the file and no query
// leaves the machine.
bool HostsFileNamesLoopback() {
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream words(line);
    std::string address;
    std::string name;
    if (words >> address >> name && address == "127.0.0.1") {
      return true;
    }
  }
  return false;
}

TEST(GetnameinfoLookupTest, NamesTheLoopbackAddressFromTheHostsFile) {
  if (!HostsFileNamesLoopback()) {
    GTEST_SKIP() << "/etc/hosts does not name 127.0.0.1; a lookup could leave the machine";
  }
  GetnameinfoLookup lookup;
  const std::optional<ReverseLookupAnswer> answer = lookup.ReverseLookup(Ipv4Address(127, 0, 0, 1));
  ASSERT_TRUE(answer.has_value());
  EXPECT_FALSE(answer->officialName.empty());
  EXPECT_NE(answer->officialName, "127.0.0.1") << "a number came back for a name";
  EXPECT_TRUE(answer->firstAlias.empty());

  EXPECT_EQ(lookup.FirstAddressOf("127.0.0.1"), Ipv4(127, 0, 0, 1));
}

TEST(GetnameinfoLookupTest, TellsTheLocalHostName) {
  char expected[256] = {};
  ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
  GetnameinfoLookup lookup;
  const std::optional<std::string> name = lookup.LocalHostName();
  if (expected[0] == '\0') {
    EXPECT_FALSE(name.has_value());
  } else {
    EXPECT_EQ(name, std::string(expected));
  }
}

}  // namespace
}  // namespace harlune
