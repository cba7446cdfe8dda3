#include "core/log/per_date_logger.h"

#include <cstdio>
#include <utility>

#include "core/log/log_lines.h"

namespace harlune {
namespace {

void ReplaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
  std::size_t at = text.find(placeholder);
  while (at != std::string::npos) {
    text.replace(at, placeholder.size(), value);
    at = text.find(placeholder, at + value.size());
  }
}

std::string TwoDigits(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

// The whole local date, not only the day of the month: a month without a
// line must not put the next line into the old month's file.
bool SameLocalDate(std::int64_t a, std::int64_t b) {
  const std::optional<std::tm> dateA = LocalLogTime(a);
  const std::optional<std::tm> dateB = LocalLogTime(b);
  if (!dateA || !dateB) {
    return dateA.has_value() == dateB.has_value();
  }
  return dateA->tm_year == dateB->tm_year && dateA->tm_yday == dateB->tm_yday;
}

}  // namespace

std::string PerDateFileName(std::string_view pattern, std::int64_t time) {
  std::string name(pattern);
  const std::optional<std::tm> date = LocalLogTime(time);
  // A date that cannot be made leaves its fields empty.
  ReplaceAll(name, "%Day%", date ? TwoDigits(date->tm_mday) : std::string());
  ReplaceAll(name, "%Month%", date ? TwoDigits(date->tm_mon + 1) : std::string());
  ReplaceAll(name, "%Year%", date ? std::to_string(date->tm_year + 1900) : std::string());
  return name;
}

CPerDateLogger::CPerDateLogger(std::string pathPattern, bool enabled, LogClock clock)
    : CLogger(std::move(pathPattern), enabled, std::move(clock)), latestLineTime_(Now()) {}

CPerDateLogger::~CPerDateLogger() {
  Flush();
  SkipFlushOnDestruction();
}

bool CPerDateLogger::Flush() { return FlushTo(PerDateFileName(Path(), latestLineTime_)); }

void CPerDateLogger::AddLine(std::string_view text, std::string_view pathPattern) {
  const std::int64_t now = Now();
  if (!SameLocalDate(now, latestLineTime_)) {
    Flush();
  }
  latestLineTime_ = now;
  if (!pathPattern.empty() && pathPattern != Path()) {
    Flush();
    SetPath(std::string(pathPattern));
  }
  CLogger::AddLine(text);
}

}  // namespace harlune
