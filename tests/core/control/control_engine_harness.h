#pragma once

// A connection control engine over hand-made connection records, with a
// resetter that records what it was asked to end and a control log in a
// private folder.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/control/connection_control_engine.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune::testing {

class FakeConnections : public ControlledConnections {
 public:
  const ConnectionMap& Connections() const override { return table; }
  NewConnectionQueue& NewConnections() override { return queue; }
  NewConnectionQueue& OwnersFound() override { return owners; }
  std::string ProcessNameOf(std::int32_t processId) const override {
    const auto found = names.find(processId);
    return found == names.end() ? "不明" : found->second;
  }

  ConnectionMap table;
  NewConnectionQueue queue;
  NewConnectionQueue owners;
  std::map<std::int32_t, std::string> names{{100, "app.exe"}, {200, "other.exe"}};
};

class RecordingResetter : public ConnectionResetter {
 public:
  ConnectionResetResult ResetConnection(const TcpFourTuple& key) override {
    keys.push_back(key);
    const auto byPort = answerByPort.find(HostOrderPort(key.localPort));
    return byPort == answerByPort.end() ? answer : byPort->second;
  }

  std::vector<TcpFourTuple> keys;
  ConnectionResetResult answer{ConnectionResetStatus::kOk, 0};
  // Answers for the connections of some host-order local ports.
  std::map<std::uint16_t, ConnectionResetResult> answerByPort;
};

inline const IpAddress kRemoteAddress = Ipv4Address(93, 184, 216, 34);
inline constexpr std::int64_t kPassTime = 1'700'000'000;

struct EngineHarness {
  EngineHarness() {
    settings.CONNECTION_CONTROL_LOG_FILE_NAME = (dir.path() / "control.log").string();
    engine.ApplySettings(settings);
  }

  // A connection of process 100 from local port `port` (host order; it also
  // orders the table), queued as the monitor queues a new one.
  ConnectionInfo& Add(std::uint16_t port, std::string host = "www.example.com",
                      std::uint32_t state = kTcpStateEstablished) {
    auto connection = std::make_shared<ConnectionInfo>();
    connection->state = state;
    connection->localAddr = IpAddress::FromIpv4(Ipv4(192, 168, 0, 2));
    connection->localPort = protocol::HostToNet16(port);
    connection->remoteAddr = kRemoteAddress;
    connection->remotePort = protocol::HostToNet16(80);
    connection->processId = 100;
    connection->remoteHost = std::move(host);
    connections.queue.push_back(connection);
    connections.table.emplace(KeyOf(*connection), connection);
    return *connection;
  }

  void Remove(const ConnectionInfo& connection) { connections.table.erase(KeyOf(connection)); }

  void AddRule(const std::string& name, std::int32_t action) {
    OperateConnectionRule rule;
    rule.Name = name;
    rule.Action = action;
    engine.AppendRule(rule, dialogs);
  }
  OperateConnectionRule& RuleAt(std::size_t index) { return engine.EditableRules()[index]; }

  // The host-order local ports of the connections ended so far, in order.
  std::vector<std::uint16_t> EndedPorts() const {
    std::vector<std::uint16_t> ports;
    for (const TcpFourTuple& key : resetter.keys) {
      ports.push_back(HostOrderPort(key.localPort));
    }
    return ports;
  }

  std::vector<std::uint16_t> MatchedPorts(std::size_t rule) const {
    std::vector<std::uint16_t> ports;
    for (const auto& connection : engine.MatchedConnections(rule)) {
      ports.push_back(HostOrderPort(connection->localPort));
    }
    return ports;
  }

  std::string LogText() {
    engine.ControlLogger()->Flush();
    const auto path = dir.path() / "control.log";
    return std::filesystem::exists(path) ? ReadFileText(path) : std::string();
  }

  TempDir dir;
  IniFileObject settings;
  OperateConnectionRuleIni rules;
  FakeConnections connections;
  RecordingResetter resetter;
  RecordingUserDialogs dialogs;
  std::size_t randomStart = 0;
  ConnectionControlEngine engine{rules, connections, resetter, [] { return kPassTime; },
                                 [this](std::size_t) { return randomStart; }};
};

}  // namespace harlune::testing
