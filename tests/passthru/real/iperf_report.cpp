#include "iperf_report.h"

#include <nlohmann/json.hpp>

namespace harlune::testing {
namespace {

double Number(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_number() ? found->get<double>() : 0;
}

}  // namespace

Measured ReceivedAfter(std::string json, int omit) {
  Measured measured;
  const nlohmann::json report = nlohmann::json::parse(json, nullptr, false);
  measured.json = std::move(json);
  if (!report.is_object() || !report.contains("server_output_json")) {
    return measured;
  }
  if (report.contains("end") && report["end"].is_object() && report["end"].contains("sum_sent")) {
    measured.retransmits = Number(report["end"]["sum_sent"], "retransmits");
  }
  const nlohmann::json& server = report["server_output_json"];
  if (!server.is_object() || !server.contains("intervals") || !server["intervals"].is_array()) {
    return measured;
  }
  int index = 0;
  for (const nlohmann::json& interval : server["intervals"]) {
    if (index++ < omit || !interval.is_object() || !interval.contains("sum")) {
      continue;
    }
    measured.bytes += Number(interval["sum"], "bytes");
    measured.seconds += Number(interval["sum"], "seconds");
  }
  return measured;
}

}  // namespace harlune::testing
