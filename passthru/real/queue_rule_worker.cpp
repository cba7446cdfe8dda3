#include "passthru/real/queue_rule_worker.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include <sys/eventfd.h>

namespace harlune {

std::uint64_t RealtimeNanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

QueueRuleWorker::QueueRuleWorker(QueueRules& rules, Clock clock)
    : rules_(rules), clock_(std::move(clock)) {}

QueueRuleWorker::~QueueRuleWorker() {
  Stop();
  if (eventFd_ >= 0) {
    ::close(eventFd_);
  }
}

std::string QueueRuleWorker::Start() {
  eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (eventFd_ < 0) {
    return "cannot make an eventfd: " + std::system_category().message(errno);
  }
  thread_ = std::thread([this] { Serve(); });
  return {};
}

void QueueRuleWorker::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void QueueRuleWorker::Want(const std::string& interfaceName, Direction direction, bool queued,
                           IpFamily family) {
  {
    std::lock_guard lock(mutex_);
    Wish& wish = wishes_[{interfaceName, direction, family}];
    wish.queued = queued;
    ++wish.generation;
  }
  wake_.notify_one();
}

void QueueRuleWorker::WantBypass(std::uint32_t generation) {
  {
    std::lock_guard lock(mutex_);
    bypassWish_ = generation;
    bypassRefused_.reset();
  }
  wake_.notify_one();
}

RuleEvents QueueRuleWorker::TakeEvents() {
  std::uint64_t signals = 0;
  [[maybe_unused]] const ssize_t cleared = ::read(eventFd_, &signals, sizeof signals);
  std::lock_guard lock(mutex_);
  // The time is read under the lock under which the worker reads the start
  // of a change and posts it: a change not posted yet starts after it.
  RuleEvents taken{std::move(events_), std::move(reports_), clock_()};
  events_.clear();
  reports_.clear();
  return taken;
}

bool QueueRuleWorker::Due(const Key& key, const Wish& wish) const {
  return wish.queued != rules_.Has(std::get<0>(key), std::get<1>(key), std::get<2>(key)) &&
         wish.refusedGeneration != wish.generation;
}

bool QueueRuleWorker::BypassDue() const {
  return bypassWish_ && !rules_.BypassAt(*bypassWish_) && bypassWish_ != bypassRefused_;
}

bool QueueRuleWorker::HasWork() const {
  if (BypassDue()) {
    return true;
  }
  for (const auto& [key, wish] : wishes_) {
    if (Due(key, wish)) {
      return true;
    }
  }
  return false;
}

void QueueRuleWorker::WatchRules(bool notified, std::chrono::milliseconds interval) {
  std::lock_guard lock(mutex_);
  watching_ = true;
  notified_ = notified;
  checkInterval_ = interval;
}

void QueueRuleWorker::WantCheck() {
  {
    std::lock_guard lock(mutex_);
    checkWanted_ = watching_;
  }
  wake_.notify_one();
}

bool QueueRuleWorker::Polling() const {
  return watching_ && rules_.HasRules() && !(notified_ && rules_.NfTables());
}

bool QueueRuleWorker::CheckDue() const {
  return checkWanted_ || (Polling() && std::chrono::steady_clock::now() >= nextCheck_);
}

void QueueRuleWorker::WaitForWork(std::unique_lock<std::mutex>& lock) {
  const auto ready = [this] { return stopping_ || checkWanted_ || HasWork(); };
  if (!Polling()) {
    wake_.wait(lock, ready);  // no timeout: an idle daemon never wakes
  } else if (!wake_.wait_until(lock, nextCheck_, ready)) {
    checkWanted_ = true;
  }
}

void QueueRuleWorker::Serve() {
  std::unique_lock lock(mutex_);
  while (true) {
    WaitForWork(lock);
    if (stopping_) {
      return;
    }
    if (CheckDue()) {
      RunCheck(lock);
    } else {
      ApplyBatch(lock);
    }
  }
}

void QueueRuleWorker::RunCheck(std::unique_lock<std::mutex>& lock) {
  checkWanted_ = false;
  const std::uint64_t started = clock_();
  lock.unlock();
  const RuleCheck check = rules_.Check();
  lock.lock();
  TakeCheck(check, started, clock_());
}

void QueueRuleWorker::TakeCheck(const RuleCheck& check, std::uint64_t started,
                                std::uint64_t finished) {
  nextCheck_ = std::chrono::steady_clock::now() + checkInterval_;
  // A queue rule put back was missing since some time before the check: a
  // packet met it or not until it was back.
  for (const RuleChange& change : check.restoredQueueRules) {
    Post({RuleEvent::Kind::Started, change.interfaceName, change.direction, false, started,
          change.family});
    Post({RuleEvent::Kind::Settled, change.interfaceName, change.direction, true, finished,
          change.family});
  }
  reports_.insert(reports_.end(), check.reports.begin(), check.reports.end());
  if (!check.reports.empty() || !check.restoredQueueRules.empty()) {
    Signal();
  }
}

void QueueRuleWorker::ApplyBatch(std::unique_lock<std::mutex>& lock) {
  const std::uint64_t started = clock_();
  // With no rule in place nothing was checked for a while: the chains
  // the first rule goes into may be gone.
  const bool checkFirst = watching_ && !rules_.HasRules();
  const Batch batch = TakeBatch(started);
  lock.unlock();
  const RuleCheck check = checkFirst ? rules_.Check() : RuleCheck{};
  // Wishes that come meanwhile wait for the next batch; a wish undone
  // before its turn (queued, then not) costs no call at all.
  bool bypassDone = true;
  const std::vector<bool> done = rules_.Apply(batch.changes, batch.bypass, bypassDone);
  lock.lock();
  const std::uint64_t finished = clock_();
  if (checkFirst) {
    TakeCheck(check, started, finished);
  }
  if (batch.bypass) {
    SettleBypass(*batch.bypass, bypassDone, finished);
  }
  Settle(batch, done, started, finished);
}

QueueRuleWorker::Batch QueueRuleWorker::TakeBatch(std::uint64_t started) {
  Batch batch;
  if (BypassDue()) {
    batch.bypass = bypassWish_;
    RuleEvent event{RuleEvent::Kind::Started, {}, Direction::Send, true, started};
    event.bypass = true;
    event.bypassGeneration = *bypassWish_;
    Post(std::move(event));
  }
  for (const auto& [key, wish] : wishes_) {
    if (Due(key, wish)) {
      const auto& [name, direction, family] = key;
      batch.changes.push_back({name, direction, wish.queued, family});
      batch.generations.push_back(wish.generation);
      Post({RuleEvent::Kind::Started, name, direction, !wish.queued, started, family});
    }
  }
  Signal();
  return batch;
}

void QueueRuleWorker::Settle(const Batch& batch, const std::vector<bool>& done,
                             std::uint64_t started, std::uint64_t finished) {
  for (std::size_t i = 0; i < batch.changes.size(); ++i) {
    const RuleChange& change = batch.changes[i];
    if (done[i]) {
      // A new rule surely holds once iptables is done; a removed one may be
      // gone from the moment it was asked.
      Post({RuleEvent::Kind::Settled, change.interfaceName, change.direction, change.queued,
            change.queued ? finished : started, change.family});
    } else {
      wishes_[{change.interfaceName, change.direction, change.family}].refusedGeneration =
          batch.generations[i];
      Post({RuleEvent::Kind::Refused, change.interfaceName, change.direction,
            rules_.Has(change.interfaceName, change.direction, change.family), finished,
            change.family});
    }
  }
  Signal();
}

void QueueRuleWorker::SettleBypass(std::uint32_t generation, bool done, std::uint64_t finished) {
  if (!done) {
    bypassRefused_ = generation;
  }
  // Until iptables is done either generation's rules may be in place.
  RuleEvent event{done ? RuleEvent::Kind::Settled : RuleEvent::Kind::Refused,
                  {},
                  Direction::Send,
                  done,
                  finished};
  event.bypass = true;
  event.bypassGeneration = generation;
  Post(std::move(event));
}

void QueueRuleWorker::Post(RuleEvent event) { events_.push_back(std::move(event)); }

void QueueRuleWorker::Signal() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(eventFd_, &one, sizeof one);
}

}  // namespace harlune
