// ConntrackMarks on a real conntrack table: that of a network namespace the
// test makes (root only), with one UDP flow over its loopback.

#include "passthru/real/conntrack_marks.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

constexpr const char* kNamespace = "hlbp-ct";
constexpr std::uint16_t kSourcePort = 40001;
constexpr std::uint16_t kDestinationPort = 40002;

int Shell(const std::string& command) { return std::system(command.c_str()); }

// Sends one datagram from kSourcePort to kDestinationPort on 127.0.0.1.
bool SendDatagram() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(kSourcePort);
  const auto* generic = reinterpret_cast<const sockaddr*>(&address);
  bool sent = fd >= 0 && ::bind(fd, generic, sizeof address) == 0;
  address.sin_port = htons(kDestinationPort);
  sent = sent && ::sendto(fd, "x", 1, 0, generic, sizeof address) == 1;
  if (fd >= 0) {
    ::close(fd);
  }
  return sent;
}

FlowTuple Loopback(std::uint16_t sourcePort, std::uint16_t destinationPort) {
  return {IpFamily::Ipv4,
          kProtocolUdp,
          Ipv4Address(127, 0, 0, 1),
          Ipv4Address(127, 0, 0, 1),
          protocol::HostToNet16(sourcePort),
          protocol::HostToNet16(destinationPort)};
}

class ConntrackMarksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "conntrack of a network namespace of its own needs root";
    }
    Shell(std::string("ip netns del ") + kNamespace + " 2>/dev/null");
    // A connmark rule makes conntrack track the namespace's packets.
    ASSERT_EQ(Shell(std::string("ip netns add ") + kNamespace + " && ip netns exec " + kNamespace +
                    " sh -c 'ip link set lo up && iptables -w -t mangle -A OUTPUT -m connmark "
                    "--mark 0x1/0x1 -j RETURN'"),
              0);
  }
  void TearDown() override { Shell(std::string("ip netns del ") + kNamespace + " 2>/dev/null"); }

  // Runs `body` on a thread that lives in the namespace.
  void InNamespace(const std::function<void()>& body) {
    std::thread inside([&] {
      const int fd = ::open((std::string("/run/netns/") + kNamespace).c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::setns(fd, CLONE_NEWNET), 0);
      ::close(fd);
      body();
    });
    inside.join();
  }
};

TEST_F(ConntrackMarksTest, SetsOnlyTheBitsOfTheMaskOfTheFlowEitherDirectionNames) {
  InNamespace([] {
    ConntrackMarks marks;
    ASSERT_EQ(marks.Open(), "");
    ASSERT_TRUE(SendDatagram());
    // Another program's bit, then the daemon's byte through the reply tuple.
    EXPECT_TRUE(marks.Set(Loopback(kSourcePort, kDestinationPort), 0x1, 0xFF));
    EXPECT_TRUE(marks.Set(Loopback(kDestinationPort, kSourcePort), 0x05000000, 0xFF000000));
    EXPECT_FALSE(marks.Set(Loopback(kSourcePort, kDestinationPort + 1), 0x05000000, 0xFF000000));
    EXPECT_EQ(marks.ClearAll(0xFF000000), 1);
    EXPECT_EQ(marks.ClearAll(0xFF000000), 0) << "the byte was not cleared";
    EXPECT_EQ(marks.ClearAll(0xFF), 1) << "the other program's bit went with the byte";
  });
}

TEST(ConntrackMarksClosedTest, AClosedSetterRefusesEverything) {
  ConntrackMarks marks;
  EXPECT_FALSE(marks.IsOpen());
  EXPECT_FALSE(marks.Set(Loopback(1, 2), 0x05000000, 0xFF000000));
  EXPECT_EQ(marks.ClearAll(0xFF000000), -1);
}

}  // namespace
}  // namespace harlune
