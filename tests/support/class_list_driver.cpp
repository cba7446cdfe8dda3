#include "support/class_list_driver.h"

#include <algorithm>
#include <thread>

#include "protocol/byte_order.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/statistics_batch.h"
#include "protocol/tbf_setting_data.h"
#include "protocol/utf16.h"

namespace harlune::testing {
namespace {

using protocol::RequestCode;
namespace device_error = protocol::device_error;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

std::vector<std::uint8_t> Ok(std::span<const std::uint8_t> output = {}) {
  return protocol::EncodeReply(device_error::kSuccess, output);
}

std::vector<std::uint8_t> Refused() { return protocol::EncodeReply(device_error::kGenFailure, {}); }

bool NamesAClass(std::uint32_t code) {
  for (const RequestCode named :
       {RequestCode::HlDeleteTBFClass, RequestCode::HlUpTBFClass, RequestCode::HlDownTBFClass,
        RequestCode::HlSetTBFClassRate, RequestCode::HlSetApplicationPorts,
        RequestCode::HlGetTBFClassStatistics, RequestCode::HlModifyTBFClass,
        RequestCode::HlSetTBFClassFamily}) {
    if (code == Code(named)) {
      return true;
    }
  }
  return false;
}

std::optional<std::uint32_t> ClassIdOf(std::uint32_t code, std::span<const std::uint8_t> input) {
  if (!NamesAClass(code)) {
    return std::nullopt;
  }
  const std::size_t offset = code == Code(RequestCode::HlModifyTBFClass) ? 32 : 0;
  return input.size() >= offset + 4 ? std::optional(protocol::LoadLe32(input, offset))
                                    : std::nullopt;
}

std::string AdapterOfPath(std::span<const std::uint8_t> input) {
  const auto units = protocol::DecodeUtf16Le(input);
  const auto text = units ? protocol::Utf16ToUtf8(*units) : std::nullopt;
  constexpr std::string_view kPrefix = "\\DEVICE\\";
  return text && text->starts_with(kPrefix) ? text->substr(kPrefix.size()) : std::string();
}

}  // namespace

ClassListDriver::ClassListDriver(std::filesystem::path socketPath, std::uint32_t firstClassId)
    : version_(protocol::kDriverVersion), nextClassId_(firstClassId) {
  server_ = std::make_unique<SocketDriverServer>(
      std::move(socketPath),
      [this](std::uint64_t connection, const protocol::RequestHeader& header,
             std::span<const std::uint8_t> input) { return Serve(connection, header, input); });
}

ClassListDriver::~ClassListDriver() { server_.reset(); }

void ClassListDriver::AnswerLate(std::uint32_t code, std::chrono::milliseconds delay) {
  const std::lock_guard lock(mutex_);
  delays_[code] = delay;
}

void ClassListDriver::Refuse(std::uint32_t code, int times) {
  const std::lock_guard lock(mutex_);
  refused_[code] = times;
}

void ClassListDriver::SetVersion(std::uint32_t version) {
  const std::lock_guard lock(mutex_);
  version_ = version;
}

void ClassListDriver::DoNotKnow(std::uint32_t code) {
  const std::lock_guard lock(mutex_);
  unknown_.insert(code);
}

std::vector<std::uint32_t> ClassListDriver::ClassesOf(const std::string& adapter) const {
  const std::lock_guard lock(mutex_);
  const auto found = adapters_.find(adapter);
  return found == adapters_.end() ? std::vector<std::uint32_t>{} : found->second.classes;
}

bool ClassListDriver::Filtering(const std::string& adapter) const {
  const std::lock_guard lock(mutex_);
  const auto found = adapters_.find(adapter);
  return found != adapters_.end() && found->second.filtering;
}

bool ClassListDriver::InSession(const std::string& adapter) const {
  const std::lock_guard lock(mutex_);
  const auto found = adapters_.find(adapter);
  return found != adapters_.end() && found->second.inSession;
}

std::vector<ClassListDriver::Logged> ClassListDriver::Log() const {
  const std::lock_guard lock(mutex_);
  return log_;
}

std::optional<std::vector<std::uint8_t>> ClassListDriver::Serve(
    std::uint64_t connection, const protocol::RequestHeader& header,
    std::span<const std::uint8_t> input) {
  std::chrono::milliseconds delay{0};
  std::unique_lock lock(mutex_);
  if (header.code == Code(RequestCode::HlBindAdapter)) {
    bindings_[connection] = AdapterOfPath(input);
    return Ok(protocol::EncodeU32(protocol::kBindStatusBound));
  }
  const auto bound = bindings_.find(connection);
  if (bound == bindings_.end()) {
    return protocol::EncodeReply(device_error::kNotReady, {});
  }
  LogRequest(header.code, bound->second, input);
  if (const auto late = delays_.find(header.code); late != delays_.end()) {
    delay = late->second;
  }
  std::vector<std::uint8_t> reply;
  if (unknown_.contains(header.code)) {
    reply = protocol::EncodeReply(device_error::kInvalidFunction, {});
  } else {
    reply =
        TakeRefusal(header.code) ? Refused() : Carry(adapters_[bound->second], header.code, input);
  }
  lock.unlock();
  std::this_thread::sleep_for(delay);
  return reply;
}

void ClassListDriver::LogRequest(std::uint32_t code, const std::string& adapter,
                                 std::span<const std::uint8_t> input) {
  std::vector<std::uint32_t> named;
  if (code == Code(RequestCode::HlGetStatisticsBatch)) {
    named = protocol::DecodeStatisticsBatchRequest(input).value_or(named);
  } else if (code == Code(RequestCode::HlSetTBFClassRates)) {
    for (const auto& rate :
         protocol::DecodeClassRatesRequest(input).value_or(std::vector<protocol::ClassRate>{})) {
      named.push_back(rate.driverClassId);
    }
  } else {
    log_.push_back({code, adapter, ClassIdOf(code, input)});
    return;
  }
  if (named.empty()) {
    log_.push_back({code, adapter, std::nullopt});
  }
  for (const std::uint32_t id : named) {
    log_.push_back({code, adapter, id});
  }
}

std::vector<std::uint8_t> ClassListDriver::StatisticsBatch(
    const Adapter& adapter, std::span<const std::uint8_t> input) const {
  const auto ids = protocol::DecodeStatisticsBatchRequest(input);
  if (!ids) {
    return protocol::EncodeReply(device_error::kInvalidParameter, {});
  }
  protocol::StatisticsBatch batch;
  for (const std::uint32_t id : *ids) {
    const bool known = std::ranges::find(adapter.classes, id) != adapter.classes.end();
    batch.classes.push_back({{}, known ? device_error::kSuccess : device_error::kGenFailure});
  }
  return Ok(protocol::EncodeStatisticsBatchReply(batch));
}

std::vector<std::uint8_t> ClassListDriver::RatesBatch(const Adapter& adapter,
                                                      std::span<const std::uint8_t> input) const {
  const auto rates = protocol::DecodeClassRatesRequest(input);
  if (!rates) {
    return protocol::EncodeReply(device_error::kInvalidParameter, {});
  }
  std::vector<std::uint32_t> statuses;
  for (const protocol::ClassRate& rate : *rates) {
    const bool known =
        std::ranges::find(adapter.classes, rate.driverClassId) != adapter.classes.end();
    statuses.push_back(known ? device_error::kSuccess : device_error::kGenFailure);
  }
  return Ok(protocol::EncodeClassRatesReply(statuses));
}

bool ClassListDriver::TakeRefusal(std::uint32_t code) {
  const auto found = refused_.find(code);
  if (found == refused_.end() || found->second == 0) {
    return false;
  }
  if (found->second > 0) {
    --found->second;
  }
  return true;
}

std::vector<std::uint8_t> ClassListDriver::Carry(Adapter& adapter, std::uint32_t code,
                                                 std::span<const std::uint8_t> input) {
  const std::optional<std::uint32_t> id = ClassIdOf(code, input);
  const bool known = id && std::ranges::find(adapter.classes, *id) != adapter.classes.end();
  switch (static_cast<RequestCode>(code)) {
    case RequestCode::HlGetVersion:
      return Ok(protocol::EncodeU32(version_));
    case RequestCode::HlInitialize:
      adapter = Adapter{true, false, {}};
      return Ok();
    case RequestCode::HlUninitialize:
    case RequestCode::HlReleaseAdapter:
      adapter.inSession = false;
      adapter.filtering = false;
      return Ok();
    case RequestCode::HlStartFiltering:
    case RequestCode::HlStopFiltering:
      adapter.filtering = code == Code(RequestCode::HlStartFiltering);
      return Ok();
    case RequestCode::HlAddTBFClass:
      adapter.classes.push_back(nextClassId_);
      return Ok(protocol::EncodeU32(nextClassId_++));
    case RequestCode::HlDeleteTBFClass:
      std::erase(adapter.classes, id.value_or(0));
      return known ? Ok() : Refused();
    case RequestCode::HlUpTBFClass:
    case RequestCode::HlDownTBFClass:
      if (!known) {
        return Refused();
      }
      Move(adapter, *id, code == Code(RequestCode::HlUpTBFClass) ? -1 : 1);
      return Ok();
    case RequestCode::HlGetTBFClassStatistics:
      return known ? Ok(std::vector<std::uint8_t>(protocol::kClassStatisticsSize, 0)) : Refused();
    case RequestCode::HlGetTotalStatistics:
      return Ok(std::vector<std::uint8_t>(protocol::kTotalStatisticsSize, 0));
    case RequestCode::HlReadPackets:
      return Ok();
    case RequestCode::HlGetStatisticsBatch:
      return StatisticsBatch(adapter, input);
    case RequestCode::HlSetTBFClassRates:
      return RatesBatch(adapter, input);
    default:
      return NamesAClass(code) && !known ? Refused() : Ok();
  }
}

void ClassListDriver::Move(Adapter& adapter, std::uint32_t id, int step) {
  const auto at = std::ranges::find(adapter.classes, id);
  const auto position = at - adapter.classes.begin();
  const auto target = position + step;
  if (target < 0 || target >= static_cast<std::ptrdiff_t>(adapter.classes.size())) {
    return;  // already at that end: nothing to do
  }
  std::iter_swap(at, adapter.classes.begin() + target);
}

}  // namespace harlune::testing
