#include "support/fake_engine_services.h"

#include "protocol/byte_order.h"
#include "protocol/request_codes.h"

namespace harlune::testing {
namespace {

class SharedTcpTable final : public TcpTableSource {
 public:
  explicit SharedTcpTable(std::shared_ptr<ScriptedTcpTable> table) : table_(std::move(table)) {}
  TcpTableResult ReadTable() override {
    if (!table_->ok) {
      return {false, 5, {}};
    }
    return {true, 0, table_->rows};
  }
  bool RowsCarryOwners() const override { return true; }

 private:
  std::shared_ptr<ScriptedTcpTable> table_;
};

class NoNames final : public HostNameLookup {
 public:
  std::optional<ReverseLookupAnswer> ReverseLookup(std::uint32_t) override { return {}; }
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

std::unique_ptr<TcpTableSource> FakeEngineServices::MakeTcpTable(const IniFileObject&) {
  return std::make_unique<SharedTcpTable>(table);
}

std::shared_ptr<HostNameLookup> FakeEngineServices::MakeHostLookup() {
  return std::make_shared<NoNames>();
}

}  // namespace harlune::testing
