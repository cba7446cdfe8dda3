#include "iperf_report.h"

#include <gtest/gtest.h>

namespace harlune::testing {
namespace {

// The shape of iperf3 3.12's client report with the server's own: the
// client's intervals (here with a doubled second, as a late timer makes
// them) are not what is measured.
constexpr const char* kReport = R"({
  "intervals": [{"sum": {"start": 0, "end": 1, "seconds": 2.0, "bytes": 1}}],
  "end": {"sum_sent": {"bytes": 2, "retransmits": 7}, "sum_received": {"seconds": 9, "bytes": 1}},
  "server_output_json": {
    "intervals": [
      {"streams": [], "sum": {"start": 0, "end": 1, "seconds": 1.0, "bytes": 9000000}},
      {"streams": [], "sum": {"start": 1, "end": 2, "seconds": 1.0, "bytes": 1000}},
      {"streams": [], "sum": {"start": 2, "end": 3, "seconds": 0.5, "bytes": 500}}
    ],
    "end": {"sum": {"bytes": 0, "lost_packets": 3}}
  }
})";

TEST(IperfReportTest, CountsTheReceiversIntervalsAfterTheOmittedOnes) {
  const Measured all = ReceivedAfter(kReport, 0);
  EXPECT_DOUBLE_EQ(all.bytes, 9001500);
  EXPECT_DOUBLE_EQ(all.seconds, 2.5);
  const Measured settled = ReceivedAfter(kReport, 1);
  EXPECT_DOUBLE_EQ(settled.bytes, 1500);
  EXPECT_DOUBLE_EQ(settled.seconds, 1.5);
  EXPECT_DOUBLE_EQ(settled.Rate(), 1000);
  EXPECT_DOUBLE_EQ(settled.retransmits, 7);
  EXPECT_DOUBLE_EQ(settled.lost, 3);
  EXPECT_EQ(settled.json, kReport);
  // More omitted than there were: nothing measured, and no rate.
  EXPECT_DOUBLE_EQ(ReceivedAfter(kReport, 5).Rate(), 0);
}

TEST(IperfReportTest, AFailedOrUnreadableRunMeasuresNothing) {
  for (const char* report :
       {R"({"start": {}, "intervals": [], "end": {}, "error": "unable to connect to server"})",
        R"({"server_output_json": {"intervals": [{"sum": {"bytes": "many"}}]}})",
        R"({"server_output_json": "text"})", "iperf3: the server is busy", ""}) {
    const Measured measured = ReceivedAfter(report, 0);
    EXPECT_EQ(measured.bytes, 0) << report;
    EXPECT_EQ(measured.Rate(), 0) << report;
    EXPECT_EQ(measured.retransmits, 0) << report;
    EXPECT_EQ(measured.lost, 0) << report;
  }
}

}  // namespace
}  // namespace harlune::testing
