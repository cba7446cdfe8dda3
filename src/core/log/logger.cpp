#include "core/log/logger.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "core/base/text_encoding.h"

namespace harlune {
namespace {

// The length of the UTF-8 character that starts with `lead`; 1 for a byte
// that starts none, so that it alone is replaced.
std::size_t Utf8CharLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) {
    return 4;
  }
  if (lead >= 0xE0) {
    return lead <= 0xEF ? 3 : 1;
  }
  if (lead >= 0xC2) {
    return 2;
  }
  return 1;
}

std::filesystem::path NativePath(std::string path) {
  for (char& c : path) {
    if (c == '\\') {
      c = '/';
    }
  }
  return std::filesystem::path(path);
}

bool AppendToFile(const std::filesystem::path& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool flushed = std::fflush(file) == 0;
  const bool closed = std::fclose(file) == 0;
  return written && flushed && closed;
}

}  // namespace

std::int64_t SystemLogClock() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ToLogFileText(std::string_view utf8) {
  // A log line must never be lost for one character: what CP932 cannot hold
  // is written as '?', unlike settings files, which refuse such text.
  try {
    return Utf8ToCp932(utf8);
  } catch (const TextEncodingError&) {
    // Converted character by character below.
  }
  std::string out;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    std::size_t length = Utf8CharLength(static_cast<unsigned char>(utf8[pos]));
    // A truncated or malformed sequence: replace only its lead byte.
    for (std::size_t i = 1; i < length; ++i) {
      if (pos + i >= utf8.size() || (static_cast<unsigned char>(utf8[pos + i]) & 0xC0) != 0x80) {
        length = 1;
        break;
      }
    }
    try {
      out += Utf8ToCp932(utf8.substr(pos, length));
    } catch (const TextEncodingError&) {
      out += '?';
    }
    pos += length;
  }
  return out;
}

CLogger::CLogger(std::string path, bool enabled, LogClock clock)
    : enabled_(enabled), path_(std::move(path)), clock_(std::move(clock)), lastTickFlush_(Now()) {}

CLogger::~CLogger() {
  if (flushOnDestruction_) {
    CLogger::FlushTo(path_);
  }
}

void CLogger::AddLine(std::string_view text) {
  if (enabled_) {
    pending_.emplace_back(text);
  }
}

bool CLogger::FlushTo(const std::string& path) {
  if (!enabled_ || pending_.empty()) {
    return true;
  }
  const std::filesystem::path file = NativePath(path);
  if (file.has_parent_path()) {
    std::error_code ignored;  // a folder that cannot be made fails the open below
    std::filesystem::create_directories(file.parent_path(), ignored);
  }
  std::string bytes;
  for (const std::string& line : pending_) {
    bytes += ToLogFileText(line);
  }
  if (!AppendToFile(file, bytes)) {
    return false;
  }
  pending_.clear();
  return true;
}

bool CLogger::Flush() { return FlushTo(path_); }

void CLogger::Tick() {
  const std::int64_t now = Now();
  if (now < lastTickFlush_) {
    lastTickFlush_ = now;  // the clock was set back
  }
  if (now - lastTickFlush_ >= kFlushPeriodSeconds) {
    lastTickFlush_ = now;
    Flush();
  }
}

}  // namespace harlune
