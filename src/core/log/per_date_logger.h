#pragma once

// A log whose file name carries the date of its lines: "%Year%", "%Month%"
// and "%Day%" in the file name pattern are the local date of the latest line.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/log/logger.h"

namespace harlune {

// The pattern with every "%Day%", then "%Month%", then "%Year%" replaced by
// the local date of `time` ("05", "01", "2024"). Any other placeholder,
// "%Hour%" included, stays as it is.
std::string PerDateFileName(std::string_view pattern, std::int64_t time);

class CPerDateLogger : public CLogger {
 public:
  CPerDateLogger(std::string pathPattern, bool enabled, LogClock clock = SystemLogClock);
  ~CPerDateLogger() override;

  // Writes to the file of the latest line's date.
  bool Flush() override;

  // A line of a new local date first flushes the lines of the previous date
  // to its own file; a new, different pattern first flushes the pending
  // lines under the old one. An empty pattern keeps the current one.
  virtual void AddLine(std::string_view text, std::string_view pathPattern);
  void AddLine(std::string_view text) override { AddLine(text, {}); }

  std::int64_t LatestLineTime() const { return latestLineTime_; }

 private:
  std::int64_t latestLineTime_;
};

}  // namespace harlune
