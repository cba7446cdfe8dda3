#pragma once

// The in-memory services of FakeEngineServices with a resetter that answers
// what the test says (by default: this process lacks the privilege), for
// front ends that must show a refused disconnection.

#include <cerrno>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/app/engine_services.h"
#include "support/fake_engine_services.h"

namespace harlune::testing {

class RefusingEngineServices final : public EngineServices {
 public:
  DeviceTransport& Transport() override { return fake.Transport(); }
  std::vector<std::string> DeviceNames() const override { return fake.DeviceNames(); }
  AdapterSource& Adapters() override { return fake.Adapters(); }
  ProcessSource& Processes() override { return fake.Processes(); }
  std::unique_ptr<TcpTableSource> MakeTcpTable(const IniFileObject& settings) override {
    return fake.MakeTcpTable(settings);
  }
  std::shared_ptr<HostNameLookup> MakeHostLookup() override { return fake.MakeHostLookup(); }
  ConnectionResetter& Resetter() override { return resetter; }

  class Scripted final : public ConnectionResetter {
   public:
    ConnectionResetResult ResetConnection(const TcpConnectionKey&) override {
      ++calls;
      return answer;
    }
    ConnectionResetResult answer{ConnectionResetStatus::kNotPermitted, EPERM};
    std::size_t calls = 0;
  };

  FakeEngineServices fake;
  Scripted resetter;
};

}  // namespace harlune::testing
