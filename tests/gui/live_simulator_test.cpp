// The main window against the simulated driver for ten seconds: fifty
// filters on the machine's first interface, four of them catching the
// simulated flows, the window shown so that every redraw paints. The rates
// must reach the status bar and the filter page; how long the event loop
// was ever kept busy is printed for the performance notes.

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/app/settings_store.h"
#include "core/monitor/adapter_table.h"
#include "e2e/child.h"
#include "e2e/e2e_support.h"
#include "gui/app/main_window.h"
#include "gui/models/filter_list_model.h"
#include "gui/pages/filter_page.h"
#include "platform/linux/linux_engine_services.h"
#include "protocol/ip_address.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kFilterCount = 50;
constexpr int kRunMs = 10'000;
constexpr int kRateColumn = 2;  // "現在の帯域"
constexpr std::uint32_t kKiB = 1024;

// One simulated flow and the filter that catches it.
struct LiveFlow {
  std::size_t row;          // the filter's place in the list
  std::uint32_t direction;  // 0 send, 1 receive
  std::uint16_t protocol;
  std::uint16_t localPort;
  const char* remote;  // the remote address
  std::uint16_t remotePort;
  std::uint32_t flowRate;    // bytes/s offered
  std::uint32_t filterRate;  // bytes/s the filter lets through
  std::uint32_t size;

  double Expected() const { return std::min(flowRate, filterRate); }
};

constexpr std::array<LiveFlow, 4> kFlows = {{
    {5, 0, 6, 50000, "198.51.100.7", 80, 1024 * kKiB, 200 * kKiB, 1000},
    {17, 1, 6, 50010, "192.0.2.10", 443, 512 * kKiB, 2048 * kKiB, 1500},
    {33, 0, 17, 5004, "203.0.113.9", 6000, 128 * kKiB, 64 * kKiB, 500},
    {48, 1, 17, 5005, "203.0.113.9", 6001, 256 * kKiB, 100 * kKiB, 1000},
}};
constexpr std::array<std::size_t, 2> kDisabledRows = {10, 40};
constexpr std::array<std::uint32_t, 6> kOtherRates = {16 * kKiB,  64 * kKiB,   100 * kKiB,
                                                      256 * kKiB, 1024 * kKiB, 5120 * kKiB};

const LiveFlow* FlowOfRow(std::size_t row) {
  for (const LiveFlow& flow : kFlows) {
    if (flow.row == row) {
      return &flow;
    }
  }
  return nullptr;
}

PacketFilterSetting FilterOfRow(std::size_t row, const std::string& adapter) {
  PacketFilterSetting filter;
  filter.LowerAdapterName = adapter;
  filter.RemotePortCount = 1;
  if (const LiveFlow* flow = FlowOfRow(row)) {
    filter.Name = "flow" + std::to_string(row);
    filter.TBFMode = flow->direction;
    filter.Protocol = flow->protocol;
    filter.TBFRate = flow->filterRate;
    filter.RemotePorts[0] = protocol::HostPortRange(flow->remotePort, flow->remotePort);
    return filter;
  }
  // Ports no flow uses, so that every packet passes these by.
  const auto port = static_cast<std::uint16_t>(10000 + row);
  filter.Name = "idle" + std::to_string(row);
  filter.TBFMode = static_cast<std::uint32_t>(row % 2);
  filter.Protocol = row % 3 == 0 ? 17 : 6;
  filter.TBFRate = kOtherRates[row % kOtherRates.size()];
  filter.RemotePorts[0] = protocol::HostPortRange(port, port);
  filter.Available =
      std::find(kDisabledRows.begin(), kDisabledRows.end(), row) == kDisabledRows.end() ? 1 : 0;
  return filter;
}

bool WriteLiveSettings(const std::filesystem::path& folder, const std::string& adapter) {
  RecordingUserDialogs dialogs;
  Settings settings(folder, dialogs);
  settings.general.STARTUP_ON = 1;
  settings.general.RESOLVE_HOST = 0;
  settings.general.LOG_CONNECTION_STATS = 0;
  settings.general.LOG_CONNECTION_CONTROL = 0;
  settings.general.WINDOW_SIZE = {40, 40, 1040, 690};
  for (std::size_t row = 0; row < kFilterCount; ++row) {
    settings.filters.Add(FilterOfRow(row, adapter));
  }
  AdapterTable adapters;
  return SettingsStore(folder, settings, adapters, dialogs).SaveAllSettings();
}

void WriteLiveFlows(const std::filesystem::path& file, const testing::Interface& interface) {
  std::string text = "adapter " + interface.name + "\n";
  for (const LiveFlow& flow : kFlows) {
    text += "flow " + interface.name + (flow.direction == 0 ? " send " : " receive ") +
            (flow.protocol == 6 ? "tcp " : "udp ") + FormatIpv4(interface.address) + ":" +
            std::to_string(flow.localPort) + " " + flow.remote + ":" +
            std::to_string(flow.remotePort) + " " + std::to_string(flow.flowRate) +
            " size=" + std::to_string(flow.size) + "\n";
  }
  testing::WriteFileText(file, text);
}

// The number in a text such as " Send速度   264.0 KB/s", in bytes/s.
std::optional<double> RateIn(const QString& text) {
  static const QRegularExpression number(QStringLiteral("(\\d+\\.\\d) KB/s"));
  const QRegularExpressionMatch match = number.match(text);
  if (!match.hasMatch()) {
    return std::nullopt;
  }
  return match.captured(1).toDouble() * kKiB;
}

struct Timing {
  std::int64_t count = 0;
  std::int64_t totalNs = 0;
  std::int64_t largestNs = 0;

  void Add(std::int64_t ns) {
    ++count;
    totalNs += ns;
    largestNs = std::max(largestNs, ns);
  }
  double AverageMs() const {
    return count == 0 ? 0 : static_cast<double>(totalNs) / 1e6 / static_cast<double>(count);
  }
  double LargestMs() const { return static_cast<double>(largestNs) / 1e6; }
};

// Watches the event loop: the largest gap between the timeouts of a 5 ms
// probe timer is the longest the loop was ever kept from its events; the
// engine's statistics, capture and connection ticks and the window's
// repaints are each timed by delivering them here.
class LoopProbe final : public QObject {
 public:
  static constexpr int kProbeMs = 5;

  LoopProbe() {
    probe_.setTimerType(Qt::PreciseTimer);
    probe_.setInterval(kProbeMs);
    connect(&probe_, &QTimer::timeout, this, [this] {
      const std::int64_t now = clock_.nsecsElapsed();
      gaps.Add(now - last_);
      last_ = now;
    });
  }

  void Start() {
    QCoreApplication::instance()->installEventFilter(this);
    clock_.start();
    last_ = 0;
    probe_.start();
  }
  void Stop() {
    probe_.stop();
    QCoreApplication::instance()->removeEventFilter(this);
  }

  Timing gaps;
  Timing statistics;  // the 100 ms tick
  Timing capture;     // the 200 ms tick
  Timing connections;
  Timing repaints;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    Timing* timing = Classify(watched, event);
    if (timing == nullptr || delivering_) {
      return false;
    }
    delivering_ = true;
    QElapsedTimer clock;
    clock.start();
    watched->event(event);
    timing->Add(clock.nsecsElapsed());
    delivering_ = false;
    return true;
  }

 private:
  Timing* Classify(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::UpdateRequest && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->isWindow()) {
      return &repaints;
    }
    auto* timer = qobject_cast<QTimer*>(watched);
    if (event->type() != QEvent::Timer || timer == nullptr || timer == &probe_ ||
        timer->isSingleShot()) {
      return nullptr;
    }
    switch (timer->interval()) {
      case 100:
        return &statistics;
      case 200:
        return &capture;
      case 1000:
        return &connections;
      default:
        return nullptr;
    }
  }

  QTimer probe_;
  QElapsedTimer clock_;
  std::int64_t last_ = 0;
  bool delivering_ = false;
};

class LiveSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto found = testing::FirstInterface();
    if (!found) {
      GTEST_SKIP() << "this machine has no network interface with an IPv4 address besides "
                      "loopback, which the simulated driver needs to stand in for";
    }
    interface_ = *found;
    std::filesystem::create_directories(run_);
    std::filesystem::permissions(run_, std::filesystem::perms::owner_all);
  }

  QString RateCell(std::size_t row) const {
    const FilterListModel& model = *window_->filterPage().model();
    return model.data(model.index(static_cast<int>(row), kRateColumn)).toString();
  }

  testing::Interface interface_;
  testing::TempDir runtime_;
  testing::TempDir settings_;
  const std::filesystem::path run_ = runtime_.path() / "run";
  std::unique_ptr<testing::Child> daemon_;
  std::unique_ptr<LinuxEngineServices> services_;
  RecordingUserDialogs dialogs_;
  std::unique_ptr<CNetSieveDlg> window_;
};

TEST_F(LiveSimulatorTest, ShowsTheFlowsRatesWhileTheEventLoopStaysFree) {
  ASSERT_TRUE(WriteLiveSettings(settings_.path(), interface_.name));
  const std::filesystem::path flows = runtime_.path() / "flows.txt";
  WriteLiveFlows(flows, interface_);
  const std::filesystem::path output = runtime_.path() / "daemon.out";
  daemon_ = std::make_unique<testing::Child>(
      HARLUNE_PASSTHRU_BIN, std::vector<std::string>{"--simulate", flows.string()},
      std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", run_.string()}}, output);
  const std::filesystem::path socket = run_ / "harlune" / "PassThru";
  ASSERT_TRUE(testing::WaitFor([&] { return std::filesystem::exists(socket); }, 5s))
      << testing::ReadFileText(output);

  // The driver looked for only where the simulator serves it, whatever
  // else runs on the machine.
  services_ = std::make_unique<LinuxEngineServices>(std::vector<std::string>{socket.string()});
  window_ = std::make_unique<CNetSieveDlg>(settings_.path(), *services_, dialogs_);
  ASSERT_TRUE(window_->Initialise());
  window_->show();
  ASSERT_TRUE(window_->engine().filtering());

  LoopProbe probe;
  probe.Start();
  QEventLoop loop;
  QTimer::singleShot(kRunMs, &loop, &QEventLoop::quit);
  loop.exec();
  probe.Stop();

  EXPECT_THAT(dialogs_.messages, ::testing::IsEmpty());
  double sent = 0;
  double received = 0;
  for (const LiveFlow& flow : kFlows) {
    (flow.direction == 0 ? sent : received) += flow.Expected();
  }
  // The simulated clock drops time when the machine stalls: rates may fall
  // short of the flows, never run above them.
  const auto near = [](std::optional<double> shown, double expected) {
    return shown && *shown > 0.5 * expected && *shown < 1.15 * expected;
  };
  EXPECT_TRUE(near(RateIn(window_->paneText(1)), sent)) << window_->paneText(1).toStdString();
  EXPECT_TRUE(near(RateIn(window_->paneText(2)), received)) << window_->paneText(2).toStdString();

  ASSERT_EQ(window_->filterPage().model()->rowCount(), static_cast<int>(kFilterCount));
  for (std::size_t row = 0; row < kFilterCount; ++row) {
    const QString cell = RateCell(row);
    if (const LiveFlow* flow = FlowOfRow(row)) {
      EXPECT_TRUE(near(RateIn(cell), flow->Expected())) << row << ": " << cell.toStdString();
    } else if (FilterOfRow(row, {}).Available == 0) {
      EXPECT_EQ(cell, QStringLiteral("未計測")) << row;
    } else {
      EXPECT_EQ(cell, QStringLiteral("0.0 KB/s")) << row;
    }
  }

  std::printf(
      "[  figures ] %zu filters, %d s, window %dx%d: probe every %d ms, %lld timeouts, "
      "average gap %.2f ms, largest gap %.1f ms\n"
      "[  figures ] statistics tick: %lld, average %.2f ms, largest %.1f ms\n"
      "[  figures ] capture tick: %lld, average %.2f ms, largest %.1f ms\n"
      "[  figures ] connection tick: %lld, average %.2f ms, largest %.1f ms\n"
      "[  figures ] repaint: %lld, average %.2f ms, largest %.1f ms\n",
      kFilterCount, kRunMs / 1000, window_->width(), window_->height(), LoopProbe::kProbeMs,
      static_cast<long long>(probe.gaps.count), probe.gaps.AverageMs(), probe.gaps.LargestMs(),
      static_cast<long long>(probe.statistics.count), probe.statistics.AverageMs(),
      probe.statistics.LargestMs(), static_cast<long long>(probe.capture.count),
      probe.capture.AverageMs(), probe.capture.LargestMs(),
      static_cast<long long>(probe.connections.count), probe.connections.AverageMs(),
      probe.connections.LargestMs(), static_cast<long long>(probe.repaints.count),
      probe.repaints.AverageMs(), probe.repaints.LargestMs());
  // The ticks came round and the shown window painted.
  EXPECT_GE(probe.statistics.count, kRunMs / 100 / 2);
  EXPECT_GT(probe.repaints.count, 0);

  EXPECT_TRUE(window_->RunCloseProcedure());
  window_.reset();
  daemon_->Signal(SIGTERM);
  EXPECT_EQ(daemon_->WaitForExit(5s), std::optional<int>(0));
}

}  // namespace
}  // namespace harlune
