#pragma once

// Changes the queue rules on a thread of their own, so that the daemon's
// loop never waits for iptables (a call takes milliseconds, seconds when
// another program holds the xtables lock). The loop says which directions
// it wants queued; the worker applies the latest wish of each interface
// and direction, all that are due in one iptables-restore call, and
// reports when each change started and from when it holds, so that the
// loop can judge every captured frame by the rule state at its time.
//
// It also checks that no other program removed the daemon's rules
// (QueueRules::Check), and puts back what is gone: on a change of the
// nf_tables ruleset the loop was told of (WantCheck), before the first rule
// goes in, and, where no notification comes (iptables-legacy), every
// couple of seconds while a rule is in place. With no rule in place and no
// change, nothing wakes it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "passthru/engine/packet.h"
#include "passthru/real/queue_rules.h"

namespace harlune {

// CLOCK_REALTIME in nanoseconds, the clock the capture stamps frames with.
std::uint64_t RealtimeNanoseconds();

struct RuleEvent {
  enum class Kind {
    Started,  // iptables was asked; until it is done a packet may or may not meet the rule
    Settled,  // the rule is in place (`queued`) or gone, from `at` on
    Refused,  // iptables refused; the rule stays as it was (`queued`)
  };
  Kind kind = Kind::Started;
  std::string interfaceName;
  Direction direction = Direction::Send;
  bool queued = false;
  std::uint64_t at = 0;  // CLOCK_REALTIME nanoseconds
  IpFamily family = IpFamily::Ipv4;
  // An event of the bypass rules (of every family) moving to
  // `bypassGeneration`, or going (0); no interface, direction or family of
  // its own.
  bool bypass = false;
  std::uint32_t bypassGeneration = 0;
};

// How often the rules are checked while one is in place, when no change
// notification wakes the check.
inline constexpr std::chrono::milliseconds kRuleCheckInterval{2000};

struct RuleEvents {
  std::vector<RuleEvent> events;     // oldest first
  std::vector<std::string> reports;  // the checks' log lines, oldest first
  // Every change that started before this time is among the events taken
  // so far: frames stamped before it can be judged.
  std::uint64_t completeUntil = 0;
};

class QueueRuleWorker {
 public:
  using Clock = std::function<std::uint64_t()>;

  // `rules` is the worker's alone from Start to Stop.
  QueueRuleWorker(QueueRules& rules, Clock clock);
  ~QueueRuleWorker();
  QueueRuleWorker(const QueueRuleWorker&) = delete;
  QueueRuleWorker& operator=(const QueueRuleWorker&) = delete;

  // Empty on success, else the reason.
  std::string Start();
  // Lets the change in hand end, then the thread; the rules stay as they are.
  void Stop();
  // Asks for one direction and family of an interface to be queued, or not.
  // A wish iptables refused is not tried again before the next Want for it.
  void Want(const std::string& interfaceName, Direction direction, bool queued,
            IpFamily family = IpFamily::Ipv4);
  // Asks for the bypass rules to match `generation`, or to go (0), in the
  // next batch (QueueRules::Apply). Refused, it is not tried again before
  // another wish.
  void WantBypass(std::uint32_t generation);
  // Before Start: the rules are checked from then on. `notified`: WantCheck
  // comes on every change of the nf_tables ruleset, so that without one
  // only iptables-legacy needs checks every `interval`.
  void WatchRules(bool notified, std::chrono::milliseconds interval = kRuleCheckInterval);
  // Asks for a check (the ruleset changed).
  void WantCheck();
  // Readable while events wait to be taken.
  int Fd() const { return eventFd_; }
  RuleEvents TakeEvents();

 private:
  using Key = std::tuple<std::string, Direction, IpFamily>;
  struct Wish {
    bool queued = false;
    std::uint64_t generation = 0;         // counts the Want calls
    std::uint64_t refusedGeneration = 0;  // the wish iptables refused (0: none)
  };
  struct Batch {
    std::vector<RuleChange> changes;
    std::vector<std::uint64_t> generations;
    std::optional<std::uint32_t> bypass;  // nothing: the bypass rules stay
  };

  void Serve();
  void WaitForWork(std::unique_lock<std::mutex>& lock);
  bool Polling() const;
  bool CheckDue() const;
  void RunCheck(std::unique_lock<std::mutex>& lock);
  // Posts what a check found; `started` and `finished` bound the time the
  // queue rules it put back were missing or coming.
  void TakeCheck(const RuleCheck& check, std::uint64_t started, std::uint64_t finished);
  void ApplyBatch(std::unique_lock<std::mutex>& lock);
  bool Due(const Key& key, const Wish& wish) const;
  bool HasWork() const;
  bool BypassDue() const;
  void SettleBypass(std::uint32_t generation, bool done, std::uint64_t finished);
  Batch TakeBatch(std::uint64_t started);
  void Settle(const Batch& batch, const std::vector<bool>& done, std::uint64_t started,
              std::uint64_t finished);
  void Post(RuleEvent event);
  void Signal();

  QueueRules& rules_;
  Clock clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<Key, Wish> wishes_;
  std::vector<RuleEvent> events_;
  std::optional<std::uint32_t> bypassWish_;
  std::optional<std::uint32_t> bypassRefused_;  // the wish iptables refused
  bool stopping_ = false;
  bool watching_ = false;
  bool notified_ = false;
  bool checkWanted_ = false;
  std::chrono::milliseconds checkInterval_ = kRuleCheckInterval;
  std::chrono::steady_clock::time_point nextCheck_;
  std::vector<std::string> reports_;
  int eventFd_ = -1;
  std::thread thread_;
};

}  // namespace harlune
