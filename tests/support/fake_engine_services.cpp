#include "support/fake_engine_services.h"

#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"

namespace harlune::testing {
namespace {

class SharedTcpTable final : public TcpTableSource {
 public:
  explicit SharedTcpTable(std::shared_ptr<ScriptedTcpTable> table) : table_(std::move(table)) {}
  TcpTableResult ReadTable() override {
    if (table_->beforeRead) {
      table_->beforeRead();
    }
    if (!table_->ok) {
      return {false, 5, {}};
    }
    return {true, 0, table_->rows};
  }
  bool RowsCarryOwners() const override { return table_->carriesOwners; }

 private:
  std::shared_ptr<ScriptedTcpTable> table_;
};

class NoNames final : public HostNameLookup {
 public:
  std::optional<ReverseLookupAnswer> ReverseLookup(const IpAddress&) override { return {}; }
  std::optional<std::string> LocalHostName() override { return {}; }
  std::optional<std::uint32_t> FirstAddressOf(const std::string&) override { return {}; }
};

}  // namespace

FakeEngineServices::FakeEngineServices() {
  std::vector<std::uint8_t> version(4);
  protocol::StoreLe32(version, 0, protocol::kDriverVersion);
  transport.replies[static_cast<std::uint32_t>(protocol::RequestCode::HlGetVersion)] = {0, version};
  // Every class gets an id (one for all: tests that tell classes apart
  // answer per adapter or queue their ids).
  std::vector<std::uint8_t> classId(4);
  protocol::StoreLe32(classId, 0, 1);
  transport.replies[static_cast<std::uint32_t>(protocol::RequestCode::HlAddTBFClass)] = {0,
                                                                                         classId};
}

void FakeEngineServices::ServeOneEstablishedConnection() {
  adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
  processes.entries = {{100, "app", "/usr/bin/app"}};
  TcpTableRow row;
  row.state = kTcpStateEstablished;
  row.localAddr = IpAddress::FromIpv4(Ipv4(192, 168, 0, 2));
  row.localPort = protocol::HostToNet16(50000);
  row.remoteAddr = IpAddress::FromIpv4(Ipv4(198, 18, 0, 9));
  row.remotePort = protocol::HostToNet16(80);
  row.owningPid = 100;
  table->rows = {row};
}

std::unique_ptr<TcpTableSource> FakeEngineServices::MakeTcpTable(const IniFileObject&) {
  return std::make_unique<SharedTcpTable>(table);
}

std::shared_ptr<HostNameLookup> FakeEngineServices::MakeHostLookup() {
  return std::make_shared<NoNames>();
}

}  // namespace harlune::testing
