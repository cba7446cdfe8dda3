#include "support/fake_device_transport.h"

#include <algorithm>
#include <array>
#include <optional>

#include "protocol/byte_order.h"
#include "protocol/capture6_record.h"
#include "protocol/framing.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/statistics_batch.h"
#include "protocol/utf16.h"

namespace harlune::testing {
namespace {

using protocol::RequestCode;

constexpr std::uint32_t Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

class FakeHandle final : public DeviceHandle {
 public:
  FakeHandle(FakeDeviceTransport& owner, std::string device)
      : owner_(owner), device_(std::move(device)), generation_(owner.connectionGeneration) {}
  ~FakeHandle() override { ++owner_.closed; }
  FakeHandle(const FakeHandle&) = delete;
  FakeHandle& operator=(const FakeHandle&) = delete;

  DeviceCallResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                           std::span<std::uint8_t> output) override {
    if (generation_ != owner_.connectionGeneration || silent_) {
      ++owner_.lostCalls;
      std::fill(output.begin(), output.end(), std::uint8_t{0xFF});
      return {false, 31, 0, true};
    }
    owner_.calls.push_back(
        {device_, adapterPath_, code, {input.begin(), input.end()}, output.size(), 0, {}});
    if (owner_.loseReplyTo.erase(code) != 0) {
      // Carried out, but the answer comes too late: the caller gave up, and
      // the handle is of no further use.
      const DeviceCallResult done = Carry(code, input, output);
      owner_.lostReplies.push_back(done);
      silent_ = true;
      std::fill(output.begin(), output.end(), std::uint8_t{0xFF});
      return {false, 31, 0};
    }
    const DeviceCallResult result = Carry(code, input, output);
    owner_.calls.back().error = result.error;
    owner_.calls.back().output.assign(output.begin(), output.begin() + result.bytesReturned);
    return result;
  }

 private:
  DeviceCallResult Carry(std::uint32_t code, std::span<const std::uint8_t> input,
                         std::span<std::uint8_t> output) {
    if (code == static_cast<std::uint32_t>(protocol::RequestCode::HlBindAdapter)) {
      return Bind(input, output);
    }
    if (!adapterPath_.empty() && bindGeneration_ != BindGenerationOf(adapterPath_)) {
      return {false, 21, 0};
    }
    if (auto queued = owner_.queuedReplies.find(code);
        queued != owner_.queuedReplies.end() && !queued->second.empty()) {
      const FakeDeviceTransport::Reply reply = queued->second.front();
      queued->second.pop_front();
      return Answer(reply, output);
    }
    const FakeDeviceTransport::Reply* reply = FindReply(code, ClassOf(code, input));
    if (reply == nullptr) {
      return IsBatch(code) ? AnswerBatch(code, input, output) : DeviceCallResult{true, 0, 0};
    }
    return Answer(*reply, output);
  }

  static bool IsBatch(std::uint32_t code) {
    return code == Code(RequestCode::HlGetStatisticsBatch) ||
           code == Code(RequestCode::HlSetTBFClassRates);
  }

  // What a single request with the code would be answered: the next
  // queued reply (used up), else the standing one; nothing for a success
  // with no output.
  // The class a statistics or rate request names.
  static std::optional<std::uint32_t> ClassOf(std::uint32_t code,
                                              std::span<const std::uint8_t> input) {
    const bool names = code == Code(RequestCode::HlGetTBFClassStatistics) ||
                       code == Code(RequestCode::HlSetTBFClassRate);
    return names && input.size() >= 4 ? std::optional(protocol::LoadLe32(input, 0)) : std::nullopt;
  }

  std::optional<FakeDeviceTransport::Reply> NextReply(
      std::uint32_t code, std::optional<std::uint32_t> classId = std::nullopt) {
    if (auto queued = owner_.queuedReplies.find(code);
        queued != owner_.queuedReplies.end() && !queued->second.empty()) {
      FakeDeviceTransport::Reply reply = queued->second.front();
      queued->second.pop_front();
      return reply;
    }
    const FakeDeviceTransport::Reply* reply = FindReply(code, classId);
    return reply == nullptr ? std::nullopt : std::optional(*reply);
  }

  // The records the reads of the code would deliver; a failing read counts
  // as one, so that it is still sent.
  std::uint32_t PendingOf(std::uint32_t code, std::size_t recordSize) const {
    std::size_t records = 0;
    if (const auto queued = owner_.queuedReplies.find(code); queued != owner_.queuedReplies.end()) {
      for (const FakeDeviceTransport::Reply& reply : queued->second) {
        records += reply.error != 0 ? 1 : reply.output.size() / recordSize;
      }
    }
    if (const FakeDeviceTransport::Reply* reply = FindReply(code)) {
      records += reply->error != 0 ? 1 : reply->output.size() / recordSize;
    }
    return static_cast<std::uint32_t>(records);
  }

  DeviceCallResult AnswerBatch(std::uint32_t code, std::span<const std::uint8_t> input,
                               std::span<std::uint8_t> output) {
    if (!owner_.knowsBatches) {
      return {false, protocol::device_error::kInvalidFunction, 0};
    }
    return Answer(code == Code(RequestCode::HlGetStatisticsBatch) ? StatisticsBatchOf(input)
                                                                  : RatesBatchOf(input),
                  output);
  }

  FakeDeviceTransport::Reply StatisticsBatchOf(std::span<const std::uint8_t> input) {
    const auto ids = protocol::DecodeStatisticsBatchRequest(input);
    if (!ids) {
      return {protocol::device_error::kInvalidParameter, {}};
    }
    const auto totals = NextReply(Code(RequestCode::HlGetTotalStatistics));
    if (totals && totals->error != 0) {
      return {totals->error, {}};  // a batch cannot fail its totals alone
    }
    protocol::StatisticsBatch batch;
    batch.totals = protocol::DecodeTotalStatistics(Padded<protocol::kTotalStatisticsSize>(totals));
    batch.pendingRecords =
        PendingOf(Code(RequestCode::HlReadPackets), protocol::kCaptureRecordSize);
    batch.pendingRecords6 =
        PendingOf(Code(RequestCode::HlReadPackets6), protocol::kCapture6RecordSize);
    for (const std::uint32_t id : *ids) {
      const auto single = NextReply(Code(RequestCode::HlGetTBFClassStatistics), id);
      if (single && single->error != 0) {
        batch.classes.push_back({{}, single->error});
      } else {
        batch.classes.push_back(
            {protocol::DecodeClassStatistics(Padded<protocol::kClassStatisticsSize>(single)), 0});
      }
    }
    return {0, protocol::EncodeStatisticsBatchReply(batch)};
  }

  FakeDeviceTransport::Reply RatesBatchOf(std::span<const std::uint8_t> input) {
    const auto rates = protocol::DecodeClassRatesRequest(input);
    if (!rates) {
      return {protocol::device_error::kInvalidParameter, {}};
    }
    std::vector<std::uint32_t> statuses;
    for (const protocol::ClassRate& rate : *rates) {
      const auto single = NextReply(Code(RequestCode::HlSetTBFClassRate), rate.driverClassId);
      statuses.push_back(single ? single->error : 0);
    }
    return {0, protocol::EncodeClassRatesReply(statuses)};
  }

  // A single reply's bytes as the caller's zeroed buffer would hold them.
  template <std::size_t N>
  static std::array<std::uint8_t, N> Padded(
      const std::optional<FakeDeviceTransport::Reply>& reply) {
    std::array<std::uint8_t, N> bytes{};
    if (reply) {
      std::copy_n(reply->output.begin(), std::min(N, reply->output.size()), bytes.begin());
    }
    return bytes;
  }

  const FakeDeviceTransport::Reply* FindReply(
      std::uint32_t code, std::optional<std::uint32_t> classId = std::nullopt) const {
    if (classId) {
      const auto found = owner_.classRepliesOf.find({adapterPath_, code, *classId});
      if (found != owner_.classRepliesOf.end()) {
        return &found->second;
      }
    }
    if (const auto adapter = owner_.repliesOf.find(adapterPath_);
        adapter != owner_.repliesOf.end()) {
      if (const auto found = adapter->second.find(code); found != adapter->second.end()) {
        return &found->second;
      }
    }
    const auto found = owner_.replies.find(code);
    return found == owner_.replies.end() ? nullptr : &found->second;
  }

  static DeviceCallResult Answer(const FakeDeviceTransport::Reply& reply,
                                 std::span<std::uint8_t> output) {
    if (reply.error != 0) {
      return {false, reply.error, 0};
    }
    const std::size_t count = std::min(reply.output.size(), output.size());
    std::copy_n(reply.output.begin(), count, output.begin());
    return {true, 0, static_cast<std::uint32_t>(count)};
  }

  DeviceCallResult Bind(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
    const auto bindReply =
        owner_.replies.find(static_cast<std::uint32_t>(protocol::RequestCode::HlBindAdapter));
    if (bindReply != owner_.replies.end() && bindReply->second.error != 0) {
      return {false, bindReply->second.error, 0};
    }
    std::uint32_t status = owner_.bindStatus;
    if (const auto path = protocol::DecodeUtf16Le(input)) {
      if (const auto it = owner_.bindStatusOf.find(*path); it != owner_.bindStatusOf.end()) {
        status = it->second;
      }
    }
    if (output.size() < 4) {
      return {false, 87, 0};
    }
    if (status == 0) {
      adapterPath_ = protocol::DecodeUtf16Le(input).value_or(std::u16string{});
      bindGeneration_ = BindGenerationOf(adapterPath_);
    }
    protocol::StoreLe32(output, 0, status);
    return {true, 0, 4};
  }

  int BindGenerationOf(const std::u16string& path) const {
    const auto found = owner_.bindGenerationOf.find(path);
    return found == owner_.bindGenerationOf.end() ? 0 : found->second;
  }

  FakeDeviceTransport& owner_;
  std::string device_;
  std::u16string adapterPath_;
  int generation_;
  int bindGeneration_ = 0;
  bool silent_ = false;
};

std::u16string AdapterPathOf(std::string_view adapterName) {
  std::u16string path = u"\\DEVICE\\";
  for (const char c : adapterName) {
    path.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  }
  return path;
}

}  // namespace

std::unique_ptr<DeviceHandle> FakeDeviceTransport::OpenDevice(const std::string& deviceName) {
  if (!devices.contains(deviceName)) {
    return nullptr;
  }
  ++opened;
  return std::make_unique<FakeHandle>(*this, deviceName);
}

std::vector<FakeDeviceTransport::Call> FakeDeviceTransport::CallsWithCode(
    std::uint32_t code) const {
  std::vector<Call> result;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(result),
               [code](const Call& call) { return call.code == code; });
  return result;
}

}  // namespace harlune::testing

namespace harlune::testing {

std::vector<FakeDeviceTransport::Call> FakeDeviceTransport::CallsWithCode(
    std::uint32_t code, std::string_view adapterName) const {
  const std::u16string path = AdapterPathOf(adapterName);
  std::vector<Call> result;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(result),
               [&](const Call& call) { return call.code == code && call.adapterPath == path; });
  return result;
}

void FakeDeviceTransport::FailOn(std::string_view adapterName, std::uint32_t code,
                                 std::uint32_t error) {
  repliesOf[AdapterPathOf(adapterName)][code] = Reply{error, {}};
}

void FakeDeviceTransport::ReplyForClass(std::string_view adapterName, std::uint32_t code,
                                        std::uint32_t classId, Reply reply) {
  classRepliesOf[{AdapterPathOf(adapterName), code, classId}] = std::move(reply);
}

void FakeDeviceTransport::ReplyOn(std::string_view adapterName, std::uint32_t code,
                                  std::vector<std::uint8_t> output) {
  repliesOf[AdapterPathOf(adapterName)][code] = Reply{0, std::move(output)};
}

void FakeDeviceTransport::ForgetBindings(std::string_view adapterName) {
  ++bindGenerationOf[AdapterPathOf(adapterName)];
}

}  // namespace harlune::testing
