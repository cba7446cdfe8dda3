#include "headless/status_line.h"

#include <cstdio>

#include "core/app/harlune_engine.h"
#include "core/control/disconnect_failure.h"

namespace harlune {
namespace {

std::string RateText(std::uint32_t bytesPerSecond) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f KB/s", static_cast<double>(bytesPerSecond) / 1024.0);
  return text;
}

}  // namespace

std::string StatusLine(HarluneEngine& engine) {
  std::string adapters;
  for (const AdapterEntry& entry : engine.adapters().Entries()) {
    if (entry.valid == 1) {
      adapters += adapters.empty() ? "" : ",";
      adapters += entry.name;
    }
  }
  const TrafficStatistics& statistics = engine.statistics();
  std::string line = engine.filtering() ? "filtering on" : "filtering off";
  line += " | adapters " + (adapters.empty() ? std::string("none") : adapters);
  std::string silent;
  for (const std::string& name : engine.SilentAdapters()) {
    silent += (silent.empty() ? "" : ",") + name;
  }
  if (!silent.empty()) {
    line += " | driver not answering on " + silent;
  }
  line += " | filters " + std::to_string(engine.settings().filters.Size());
  line += " | send " + RateText(AverageRate(statistics.SendHistory()));
  line += " | receive " + RateText(AverageRate(statistics.ReceiveHistory()));
  return line;
}

std::string StatusLines::Next(HarluneEngine& engine) {
  std::string line = StatusLine(engine);
  const DisconnectFailureReport& report = engine.control().LastDisconnectFailure();
  if (report.changeCount != shownFailureChange_) {
    shownFailureChange_ = report.changeCount;
    if (report.last) {
      line += " | " + DisconnectFailureText(*report.last);
    }
  }
  return line;
}

}  // namespace harlune
