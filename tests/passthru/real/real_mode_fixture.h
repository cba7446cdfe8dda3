#pragma once

// What the real-mode integration tests share: two network namespaces joined
// by a veth pair (198.18.0.1/30 and 2001:2::1/64 on the daemon's side, .2
// and 2001:2::2 on the peer's),
// iperf3 servers on the peer's side, harlune-passthru --real and
// harlune-headless on the daemon's side, and iperf3 runs from there. Root
// only; nothing outside the two namespaces it makes is touched.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "core/app/settings_store.h"
#include "core/driver/driver_link.h"
#include "iperf_report.h"
#include "platform/linux/unix_socket_transport.h"
#include "support/temp_dir.h"

namespace harlune::testing {

inline constexpr const char* kDaemonSide = "hlrt-a";
inline constexpr const char* kPeerSide = "hlrt-b";
inline constexpr const char* kDaemonVeth = "hlrt0";
inline constexpr const char* kPeerVeth = "hlrt1";
inline constexpr const char* kPeerAddress = "198.18.0.2";
inline constexpr const char* kDaemonAddress6 = "2001:2::1";
inline constexpr const char* kPeerAddress6 = "2001:2::2";
// The peer runs an iperf3 server on every port of this range.
inline constexpr std::uint16_t kFirstServerPort = 5201;
inline constexpr std::uint16_t kLastServerPort = 5207;

int Shell(const std::string& command);
// What the command wrote to its standard output.
std::string Output(const std::string& command);

// Bytes on the wire (IPv4 length) for payload bytes in full segments of
// `payload` bytes with `headers` bytes of IPv4 and transport headers each.
double WireBytes(double payloadBytes, double payload, double headers);
// The IP bytes a run sent: what the receiver counted, and once more in full
// each segment sent again (TCP) or datagram lost on the way (UDP), which
// iperf3's receiver counts neither of. A busy machine or a fast flow makes
// both. A class whose limit the run stays under drops nothing, so it counts
// the same.
double WireBytesSent(const Measured& measured, double payload, double headers);

// The middle one of some measurements.
double Median(std::vector<double> values);

// A send filter on the daemon's veth for one remote port.
PacketFilterSetting SendFilter(const std::string& name, std::uint16_t protocol, std::uint16_t port,
                               std::uint32_t rate, std::uint8_t through);

class RealModeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  static std::string InDaemonSide(const std::string& command);
  static std::string InPeerSide(const std::string& command);

  // Writes every settings file after `fill` set them up; STARTUP_ON is on.
  bool WriteSettings(const std::function<void(Settings&)>& fill);
  // `environment` adds to the test's (PATH with a slow iptables, say).
  std::unique_ptr<Child> StartDaemon(const std::map<std::string, std::string>& environment = {});
  // harlune-headless on the settings, in the daemon's namespace (its TCP
  // table and socket resets are that namespace's).
  std::unique_ptr<Child> StartHeadless();
  // Whether the daemon's chains hold a queue rule for the veth.
  bool VethQueued();
  std::string QueueRules();
  bool WaitForVethQueued();

  // The IPv6 rules of the daemon's chains (ip6tables' mangle table).
  std::string QueueRules6();
  bool VethQueued6();

  // iperf3 from the daemon's side to the peer for `omit` + `seconds`
  // seconds; the first `omit` are not measured.
  Measured Iperf(std::uint16_t port, const std::string& options, int seconds, int omit = 0);
  // The same over IPv6, to the peer's IPv6 address.
  Measured Iperf6(std::uint16_t port, const std::string& options, int seconds, int omit = 0);
  // One request to the daemon on a connection of its own bound to the veth
  // (for requests the driver link does not make).
  DeviceCallResult RawRequest(protocol::RequestCode code, std::span<const std::uint8_t> input,
                              std::span<std::uint8_t> output);
  std::uint64_t ClassBytes(std::uint32_t classId);
  std::uint64_t SentTotal();
  // Five side-by-side runs of a flow through the class and an unfiltered
  // one beside it, of either family: the ratios of their rates. Each run
  // checks that the class saw its flow.
  // SIGKILL of the application and the daemon: their rules stay, yet with
  // nobody on the queue a flow of the family through `port` runs above 4 x
  // `limit`; a new daemon removes the rules, and after its SIGTERM none of
  // its chains is left.
  void KilledDaemonLetsTrafficPassAndANewOneCleans(std::unique_ptr<Child> headless,
                                                   std::unique_ptr<Child> daemon,
                                                   std::uint16_t port, double limit, bool ipv6);
  std::vector<double> SideBySideRatios(std::uint32_t classId, std::uint16_t throughPort,
                                       std::uint16_t unfilteredPort, bool ipv6);

  TempDir runtime_;
  TempDir settings_;
  std::filesystem::path socket_;
  UnixSocketTransport transport_;
  std::unique_ptr<DriverLink> driver_;

 private:
  static void TearDownNetwork();
  // Held from SetUp to TearDown: the namespaces' names are the same for
  // every build tree on the machine, so tests of two trees take turns.
  int machineLock_ = -1;
  std::map<std::string, std::string> Environment() const;
  Measured IperfTo(const std::string& address, std::uint16_t port, const std::string& options,
                   int seconds, int omit);
};

}  // namespace harlune::testing
