#pragma once

#include <string>

namespace harlune::testing {

// What one iperf3 run measured at the receiving end.
struct Measured {
  double bytes = 0;
  double seconds = 0;
  // Over the whole run: the segments the sender sent again (TCP), and the
  // datagrams the receiver missed (UDP).
  double retransmits = 0;
  double lost = 0;
  std::string json;  // the whole report, for failures
  double Rate() const { return seconds > 0 ? bytes / seconds : 0; }
};

// The bytes and seconds the receiver counted in a client's JSON report (-J
// --get-server-output against a server started with -J), leaving out its
// first `omit` one-second intervals. The receiver's own intervals are used,
// not iperf3's -O: on a busy machine its omit timer and its interval timer
// can fire out of order, and the client then reports a one-second interval
// as two. The retransmits are the client's count, the losses the server's.
// Without a server report (an error, a refused connection) nothing was
// measured.
Measured ReceivedAfter(std::string json, int omit);

}  // namespace harlune::testing
