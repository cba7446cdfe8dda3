#pragma once

// A log that keeps its lines in memory and appends them to a file now and
// then: every 60 seconds (the owner's tick), when asked, and when it ends.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace harlune {

// Seconds since the epoch; tests inject their own.
using LogClock = std::function<std::int64_t()>;

// The system clock.
std::int64_t SystemLogClock();

class CLogger {
 public:
  static constexpr std::int64_t kFlushPeriodSeconds = 60;

  // `path` may use '\' or '/' as separators.
  CLogger(std::string path, bool enabled, LogClock clock = SystemLogClock);
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;
  virtual ~CLogger();

  // Keeps the line (UTF-8, with its own line end) when enabled.
  virtual void AddLine(std::string_view text);

  // Appends the pending lines, in the order added, to the file in CP932,
  // creating its missing folders. A file that cannot be opened or written
  // keeps the lines for the next attempt; false then. Nothing pending, or
  // not enabled: nothing to do, true.
  virtual bool FlushTo(const std::string& path);

  virtual bool Flush();

  // Called by the owner from its timer, as often as it likes: flushes once
  // per kFlushPeriodSeconds of the clock.
  void Tick();

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  const std::string& Path() const { return path_; }
  std::size_t PendingLineCount() const { return pending_.size(); }

 protected:
  std::int64_t Now() const { return clock_(); }
  void SetPath(std::string path) { path_ = std::move(path); }
  // A derived logger that flushed on its own way out stops the base from
  // flushing again to its raw path.
  void SkipFlushOnDestruction() { flushOnDestruction_ = false; }

 private:
  std::deque<std::string> pending_;
  bool enabled_;
  std::string path_;
  LogClock clock_;
  std::int64_t lastTickFlush_;
  bool flushOnDestruction_ = true;
};

// The log's text in CP932. A character CP932 cannot hold, or a byte that is
// not UTF-8, becomes '?' so that the rest of the line is still written.
std::string ToLogFileText(std::string_view utf8);

}  // namespace harlune
