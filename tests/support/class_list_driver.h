#pragma once

// A driver that keeps what the real one keeps (a session flag, the
// filtering switch and an ordered class list per adapter) and serves it on a
// Unix socket, with faults to inject: a slow answer to one request code, a
// refused request code, another version. Every request it read is logged
// with the class id it named, so tests can check that none was stale.
// Connections are served together, one request at a time
// (SocketDriverServer), so a client may keep one per adapter.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "protocol/framing.h"
#include "support/socket_driver_server.h"

namespace harlune::testing {

class ClassListDriver {
 public:
  struct Logged {
    std::uint32_t code = 0;
    std::string adapter;
    std::optional<std::uint32_t> classId;  // for the requests that name one
  };
  // A batch is logged once per class it names (once with none when it
  // names none).

  // Starts serving at `socketPath` with a fresh state; ids start at 1.
  explicit ClassListDriver(std::filesystem::path socketPath, std::uint32_t firstClassId = 1);
  ~ClassListDriver();

  // Faults. All of them may be set while the driver serves.
  void AnswerLate(std::uint32_t code, std::chrono::milliseconds delay);
  // Refuses the next `times` requests with the code (every one when < 0).
  void Refuse(std::uint32_t code, int times = -1);
  void SetVersion(std::uint32_t version);
  // Answers the code with 1 from now on, as a driver that does not know it.
  void DoNotKnow(std::uint32_t code);

  // The adapter's class ids in the driver's order.
  std::vector<std::uint32_t> ClassesOf(const std::string& adapter) const;
  bool Filtering(const std::string& adapter) const;
  bool InSession(const std::string& adapter) const;
  std::vector<Logged> Log() const;

 private:
  struct Adapter {
    bool inSession = false;
    bool filtering = false;
    std::vector<std::uint32_t> classes;
  };
  std::optional<std::vector<std::uint8_t>> Serve(std::uint64_t connection,
                                                 const protocol::RequestHeader& header,
                                                 std::span<const std::uint8_t> input);
  std::vector<std::uint8_t> Carry(Adapter& adapter, std::uint32_t code,
                                  std::span<const std::uint8_t> input);
  bool TakeRefusal(std::uint32_t code);
  void LogRequest(std::uint32_t code, const std::string& adapter,
                  std::span<const std::uint8_t> input);
  std::vector<std::uint8_t> StatisticsBatch(const Adapter& adapter,
                                            std::span<const std::uint8_t> input) const;
  std::vector<std::uint8_t> RatesBatch(const Adapter& adapter,
                                       std::span<const std::uint8_t> input) const;
  static void Move(Adapter& adapter, std::uint32_t id, int step);

  mutable std::mutex mutex_;
  std::map<std::string, Adapter> adapters_;
  std::map<std::uint32_t, std::chrono::milliseconds> delays_;
  std::map<std::uint32_t, int> refused_;  // code -> refusals left, < 0 for all
  std::set<std::uint32_t> unknown_;
  std::uint32_t version_;
  std::uint32_t nextClassId_;
  std::map<std::uint64_t, std::string> bindings_;  // connection -> adapter
  std::vector<Logged> log_;
  std::unique_ptr<SocketDriverServer> server_;
};

}  // namespace harlune::testing
