#pragma once

// An in-memory driver device: records every call and answers from a script.

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/driver/device_transport.h"

namespace harlune::testing {

class FakeDeviceTransport final : public DeviceTransport {
 public:
  struct Call {
    std::string device;
    std::u16string adapterPath;  // the path the connection was bound to; empty before
    std::uint32_t code = 0;
    std::vector<std::uint8_t> input;
    std::size_t outputCapacity = 0;
    // How the driver answered: the device error and the bytes returned.
    std::uint32_t error = 0;
    std::vector<std::uint8_t> output;
  };

  struct Reply {
    std::uint32_t error = 0;
    std::vector<std::uint8_t> output;  // cut to the caller's capacity
  };

  // Device names that open; by default only the system name.
  std::set<std::string> devices{"/run/harlune/PassThru"};
  // The bind status word for every adapter path not listed in bindStatusOf.
  std::uint32_t bindStatus = 0;
  std::map<std::u16string, std::uint32_t> bindStatusOf;
  // Replies by request code; an unlisted code succeeds with no output,
  // except the two batches: unlisted, they are answered from the replies of
  // the single requests they stand for (each class as its single request,
  // the totals, and as waiting records those the packet reads hold), or
  // with 1 while knowsBatches is off.
  std::map<std::uint32_t, Reply> replies;
  // Off: a driver of before the batches, which answers them with 1.
  bool knowsBatches = true;
  // Replies for one bound adapter path (\DEVICE\eth0), before `replies`.
  std::map<std::u16string, std::map<std::uint32_t, Reply>> repliesOf;
  // Replies for one class of one bound adapter path, by (path, code, class
  // id), before `repliesOf`: for the statistics and rate requests and the
  // batches' entries for them.
  std::map<std::tuple<std::u16string, std::uint32_t, std::uint32_t>, Reply> classRepliesOf;
  // One-time replies by request code, used up first, oldest first.
  std::map<std::uint32_t, std::deque<Reply>> queuedReplies;
  // Request codes whose next call the driver carries out but answers too
  // late: the call fails with 31 as the transport's time limit reports it,
  // and the handle never reaches the driver again. Used up once each.
  std::set<std::uint32_t> loseReplyTo;
  // What the driver did for those calls, in order.
  std::vector<DeviceCallResult> lostReplies;

  std::vector<Call> calls;
  int opened = 0;
  int closed = 0;
  // Calls on connections the driver had closed; they are not in `calls`.
  int lostCalls = 0;

  std::unique_ptr<DeviceHandle> OpenDevice(const std::string& deviceName) override;

  // The calls with the given code, in order.
  std::vector<Call> CallsWithCode(std::uint32_t code) const;
  // The calls with the given code on connections bound to the adapter.
  std::vector<Call> CallsWithCode(std::uint32_t code, std::string_view adapterName) const;

  // Makes every request with that code on that adapter fail with `error`.
  void FailOn(std::string_view adapterName, std::uint32_t code, std::uint32_t error = 31);
  // Answers the single request with that code for that class of that
  // adapter (and a batch's entry for it).
  void ReplyForClass(std::string_view adapterName, std::uint32_t code, std::uint32_t classId,
                     Reply reply);
  // Answers requests with that code on that adapter with the bytes.
  void ReplyOn(std::string_view adapterName, std::uint32_t code, std::vector<std::uint8_t> output);

  // The driver closes every open connection, as a restart does: later calls
  // on them fail without reaching it, as the socket transport reports a
  // closed connection (error 31, not sent), and leave the output scribbled
  // over, as a reply cut off midway can.
  void CloseConnections() { ++connectionGeneration; }
  // The driver forgets the bind of every open connection to the adapter:
  // their later requests fail with 21.
  void ForgetBindings(std::string_view adapterName);

  // Bookkeeping for the two above.
  int connectionGeneration = 0;
  std::map<std::u16string, int> bindGenerationOf;
};

}  // namespace harlune::testing
