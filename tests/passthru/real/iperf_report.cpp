#include "iperf_report.h"

#include <algorithm>
#include <cstddef>

#include <nlohmann/json.hpp>

namespace harlune::testing {
namespace {

using Json = nlohmann::json;

// What `key` holds in `object`, or null where it is not an object or lacks
// the key: a short or failed report reads as one that measured nothing.
const Json& Member(const Json& object, const char* key) {
  static const Json kNothing;
  if (!object.is_object()) {
    return kNothing;
  }
  const auto found = object.find(key);
  return found != object.end() ? *found : kNothing;
}

double Number(const Json& object, const char* key) {
  const Json& value = Member(object, key);
  return value.is_number() ? value.get<double>() : 0;
}

}  // namespace

Measured ReceivedAfter(std::string json, int omit) {
  Measured measured;
  const Json report = Json::parse(json, nullptr, false);
  measured.json = std::move(json);
  const Json& server = Member(report, "server_output_json");
  const Json& intervals = Member(server, "intervals");
  if (!intervals.is_array()) {
    return measured;
  }
  measured.retransmits = Number(Member(Member(report, "end"), "sum_sent"), "retransmits");
  measured.lost = Number(Member(Member(server, "end"), "sum"), "lost_packets");
  for (std::size_t index = static_cast<std::size_t>(std::max(omit, 0)); index < intervals.size();
       ++index) {
    const Json& sum = Member(intervals[index], "sum");
    measured.bytes += Number(sum, "bytes");
    measured.seconds += Number(sum, "seconds");
  }
  return measured;
}

}  // namespace harlune::testing
