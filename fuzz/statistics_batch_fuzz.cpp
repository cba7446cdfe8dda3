// Arbitrary bytes as the batches' replies and requests. The first byte
// picks how many classes were asked (0 to 128); the rest is the reply. A
// reply decodes exactly when it has the length for that count, and then
// encodes back to its own bytes; a request decodes exactly when the sizes
// check accepts it. The same bytes then come back to DriverLink as the
// driver's answer to both batches, whose suspects and capture hint must
// follow the statuses it carried.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/driver/driver_link.h"
#include "fuzz_target.h"
#include "protocol/request_codes.h"
#include "protocol/statistics_batch.h"

namespace {

namespace protocol = harlune::protocol;

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// A driver that answers every batch with the fuzzer's bytes (cut to the
// capacity, as a transport does) and binds every adapter.
class BytesDriver final : public harlune::DeviceTransport {
 public:
  explicit BytesDriver(std::span<const std::uint8_t> reply) : reply_(reply) {}
  std::unique_ptr<harlune::DeviceHandle> OpenDevice(const std::string&) override {
    return std::make_unique<Handle>(reply_);
  }

 private:
  class Handle final : public harlune::DeviceHandle {
   public:
    explicit Handle(std::span<const std::uint8_t> reply) : reply_(reply) {}
    harlune::DeviceCallResult Control(std::uint32_t code, std::span<const std::uint8_t>,
                                      std::span<std::uint8_t> output) override {
      const std::span<const std::uint8_t> answer =
          code == static_cast<std::uint32_t>(protocol::RequestCode::HlBindAdapter)
              ? std::span<const std::uint8_t>(kBound)
              : reply_;
      const std::size_t count = std::min(answer.size(), output.size());
      std::copy_n(answer.begin(), count, output.begin());
      return {true, 0, static_cast<std::uint32_t>(count)};
    }

   private:
    static constexpr std::uint8_t kBound[4] = {0, 0, 0, 0};
    std::span<const std::uint8_t> reply_;
  };

  std::span<const std::uint8_t> reply_;
};

void CheckReplies(std::span<const std::uint8_t> reply, std::size_t count) {
  const auto batch = protocol::DecodeStatisticsBatchReply(reply, count);
  Check(batch.has_value() == (reply.size() == protocol::StatisticsBatchReplySize(count)));
  if (batch) {
    Check(batch->classes.size() == count);
    Check(std::ranges::equal(protocol::EncodeStatisticsBatchReply(*batch), reply));
  }
  const auto statuses = protocol::DecodeClassRatesReply(reply, count);
  Check(statuses.has_value() == (reply.size() == protocol::ClassRatesReplySize(count)));
  if (statuses) {
    Check(std::ranges::equal(protocol::EncodeClassRatesReply(*statuses), reply));
  }
}

void CheckRequests(std::span<const std::uint8_t> input) {
  const auto& statistics = protocol::LayoutOf(protocol::RequestCode::HlGetStatisticsBatch);
  if (const auto ids = protocol::DecodeStatisticsBatchRequest(input)) {
    Check(std::ranges::equal(*protocol::EncodeStatisticsBatchRequest(*ids), input));
    Check(protocol::RequestSizesValid(statistics, input,
                                      protocol::StatisticsBatchReplySize(ids->size())));
  } else {
    Check(!protocol::RequestSizesValid(statistics, input, protocol::StatisticsBatchReplySize(0)));
  }
  const auto& rates = protocol::LayoutOf(protocol::RequestCode::HlSetTBFClassRates);
  if (const auto entries = protocol::DecodeClassRatesRequest(input)) {
    Check(std::ranges::equal(*protocol::EncodeClassRatesRequest(*entries), input));
    Check(
        protocol::RequestSizesValid(rates, input, protocol::ClassRatesReplySize(entries->size())));
  } else {
    Check(!protocol::RequestSizesValid(rates, input, protocol::ClassRatesReplySize(1)));
  }
}

bool AnyRefusal(std::span<const std::uint32_t> statuses) {
  return std::ranges::any_of(statuses, [](std::uint32_t s) { return s != 0 && s != 1 && s != 87; });
}

void CheckLink(std::span<const std::uint8_t> reply, std::size_t count) {
  BytesDriver driver(reply);
  harlune::DriverLink link(driver, {"fuzz"});
  const std::vector<std::uint32_t> ids(count, 7);
  const harlune::StatisticsBatchReply batch = link.HlGetStatisticsBatch("eth0", ids);
  // The transport cuts a longer reply to the capacity asked for.
  Check(batch.reply.has_value() == (reply.size() >= protocol::StatisticsBatchReplySize(count)));
  std::vector<std::uint32_t> statuses;
  if (batch.reply) {
    for (const auto& entry : batch.reply->classes) {
      statuses.push_back(entry.status);
    }
    Check(link.Batches().CaptureMayBePending("eth0", false) == (batch.reply->pendingRecords > 0));
  } else {
    Check(link.Batches().CaptureMayBePending("eth0", false));
  }
  Check(link.TakeSuspects().size() == (AnyRefusal(statuses) ? 1U : 0U));

  const std::vector<protocol::ClassRate> rates(std::max<std::size_t>(count, 1), {7, 100});
  const harlune::ClassRatesReply set = link.HlSetTBFClassRates("eth0", rates);
  Check(set.reply.has_value() == (reply.size() >= protocol::ClassRatesReplySize(rates.size())));
  Check(link.TakeSuspects().size() == (set.reply && AnyRefusal(*set.reply) ? 1U : 0U));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t count = data[0] % (protocol::kMaxBatchClasses + 1);
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  CheckReplies(rest, count);
  CheckRequests(rest);
  CheckLink(rest, count);
  return 0;
}
