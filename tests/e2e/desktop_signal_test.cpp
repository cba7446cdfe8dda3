// The desktop program ended from outside, as a logout or systemd ends it:
// SIGTERM to the running binary on the offscreen platform, against the
// test driver. The close procedure must run to its end and exit 0, at
// whatever moment the signal comes.

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "core/app/settings_store.h"
#include "core/base/string_resources.h"
#include "core/monitor/adapter_table.h"
#include "e2e_support.h"
#include "protocol/request_codes.h"
#include "support/class_list_driver.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using protocol::RequestCode;

constexpr std::uint32_t Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kNamespace = "hlds-a";

// Runs a tool to its end; its exit status, -1 when it did not end.
int Run(const std::vector<std::string>& command, const fs::path& output) {
  Child child(command[0], {command.begin() + 1, command.end()}, {}, output);
  return child.WaitForExit(20s).value_or(-1);
}

// A settings set whose names carry a mark, to see what a file holds.
struct MarkedSettings {
  explicit MarkedSettings(const fs::path& folder)
      : settings(folder, dialogs), store(folder, settings, adapters, dialogs) {}

  void Mark(const std::string& adapter) {
    settings.general.STARTUP_ON = 1;
    settings.general.AUTO_SAVE = 0;
    settings.general.CONFIRM_CLOSE = 1;
    PacketFilterSetting filter;
    filter.Name = "フィルタ甲";
    filter.LowerAdapterName = adapter;
    filter.Protocol = 6;
    filter.TBFRate = 64 * 1024;
    settings.filters.Add(filter);
    settings.commands.ReplaceAt(0, ExternalCommand(1, 1, 1, "コマンド甲", "ping"));
  }

  RecordingUserDialogs dialogs;
  Settings settings;
  AdapterTable adapters;
  SettingsStore store;
};

class DesktopProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(runtime_ / "harlune");
    fs::permissions(runtime_, fs::perms::owner_all);  // as a login's runtime folder is
    Install();
    driver_ = std::make_unique<ClassListDriver>(runtime_ / "harlune" / "PassThru");
  }

  // The program in an empty folder: it keeps its settings beside itself
  // when it may write there.
  void Install() {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    std::error_code linked;
    fs::create_hard_link(HARLUNE_DESKTOP_BIN, program_, linked);
    if (linked) {
      fs::copy_file(HARLUNE_DESKTOP_BIN, program_);
    }
  }

  std::unique_ptr<Child> Start(std::vector<std::string> command = {},
                               std::map<std::string, std::string> display = {
                                   {"QT_QPA_PLATFORM", "offscreen"}}) {
    command.push_back(program_.string());
    std::map<std::string, std::string> environment = {
        {"XDG_RUNTIME_DIR", runtime_.string()},
        {"HOME", root_.path().string()},
        {"XDG_CONFIG_HOME", (root_.path() / "config").string()},
    };
    environment.merge(display);
    return std::make_unique<Child>(command[0],
                                   std::vector<std::string>(command.begin() + 1, command.end()),
                                   environment, Output());
  }

  fs::path Output() const { return root_.path() / "harlune.out"; }
  std::string Said() const { return ReadFileText(Output()); }

  // Adapters the driver saw a session start on after the log's first `from`
  // requests.
  std::set<std::string> Initialised(std::size_t from = 0) const {
    std::set<std::string> adapters;
    const auto log = driver_->Log();
    for (std::size_t i = from; i < log.size(); ++i) {
      if (log[i].code == Code(RequestCode::HlInitialize)) {
        adapters.insert(log[i].adapter);
      }
    }
    return adapters;
  }

  // The session-ending requests of one adapter after the first `from`.
  std::vector<std::uint32_t> Endings(const std::string& adapter, std::size_t from) const {
    std::vector<std::uint32_t> codes;
    const auto log = driver_->Log();
    for (std::size_t i = from; i < log.size(); ++i) {
      const bool ending = log[i].code == Code(RequestCode::HlReleaseAdapter) ||
                          log[i].code == Code(RequestCode::HlUninitialize) ||
                          log[i].code == Code(RequestCode::HlInitialize);
      if (ending && log[i].adapter == adapter) {
        codes.push_back(log[i].code);
      }
    }
    return codes;
  }

  TempDir root_;
  fs::path folder_ = root_.path() / "app";
  fs::path runtime_ = root_.path() / "run";
  fs::path program_ = folder_ / "harlune";
  std::unique_ptr<ClassListDriver> driver_;
};

// A network namespace of the test's own with adapters (veth pairs, both
// ends inside), so that an adapter can come while the program runs.
class TestNamespace {
 public:
  explicit TestNamespace(const fs::path& output) : output_(output) {
    Run({kIp, "netns", "del", kNamespace}, output_);
    made_ = Run({kIp, "netns", "add", kNamespace}, output_) == 0;
  }
  ~TestNamespace() {
    if (made_) {
      Run({kIp, "netns", "del", kNamespace}, output_);
    }
  }
  bool made() const { return made_; }
  // What the last `ip` command printed, to tell why it failed.
  std::string LastOutput() const {
    std::ifstream in(output_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  bool AddAdapter(const std::string& name, const std::string& address) {
    const std::string peer = name + "p";
    return Run({kIp, "-n", kNamespace, "link", "add", name, "type", "veth", "peer", "name", peer},
               output_) == 0 &&
           Run({kIp, "-n", kNamespace, "addr", "add", address, "dev", name}, output_) == 0 &&
           Run({kIp, "-n", kNamespace, "link", "set", name, "up"}, output_) == 0 &&
           Run({kIp, "-n", kNamespace, "link", "set", peer, "up"}, output_) == 0;
  }

 private:
  fs::path output_;
  bool made_ = false;
};

TEST_F(DesktopProgram, SigtermWithChangesPendingSavesAndEndsTheSessionOnEveryAdapter) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to make a network namespace with adapters";
  }
  TestNamespace space(root_.path() / "ip.out");
  ASSERT_TRUE(space.made());
  ASSERT_TRUE(space.AddAdapter("hlds0", "198.18.5.1/24")) << space.LastOutput();
  ASSERT_TRUE(space.AddAdapter("hlds1", "198.18.6.1/24")) << space.LastOutput();
  {
    MarkedSettings initial(folder_);
    initial.store.LoadAllSettings();
    initial.Mark("hlds0");
    ASSERT_TRUE(initial.store.SaveAllSettings());
  }
  auto program = Start({kIp, "netns", "exec", kNamespace});
  ASSERT_TRUE(program->Started());
  ASSERT_TRUE(WaitFor(
      [&] {
        const auto adapters = Initialised();
        return adapters.contains("hlds0") && adapters.contains("hlds1");
      },
      30s))
      << Said();

  // An adapter that comes is a change of the settings: the session starts
  // again with it, and the change is pending.
  const std::size_t beforeChange = driver_->Log().size();
  ASSERT_TRUE(space.AddAdapter("hlds2", "198.18.7.1/24")) << space.LastOutput();
  ASSERT_TRUE(WaitFor([&] { return Initialised(beforeChange).contains("hlds2"); }, 20s)) << Said();
  std::this_thread::sleep_for(300ms);  // the restart's requests end
  fs::remove(folder_ / strings::kGeneralSettingFile);
  fs::remove(folder_ / strings::kPacketFilterSettingFile);

  const std::size_t beforeSignal = driver_->Log().size();
  ASSERT_TRUE(program->Signal(SIGTERM));
  EXPECT_EQ(program->WaitForExit(90s), std::optional<int>(0)) << Said();

  // Unsaved changes: the question was answered with its default, yes.
  EXPECT_TRUE(fs::exists(folder_ / strings::kGeneralSettingFile));
  EXPECT_TRUE(fs::exists(folder_ / strings::kPacketFilterSettingFile));
  const std::vector<std::uint32_t> ended = {Code(RequestCode::HlReleaseAdapter),
                                            Code(RequestCode::HlUninitialize)};
  const std::set<std::string> adapters = Initialised();
  EXPECT_EQ(adapters.size(), 6u);  // each pair's ends
  for (const std::string& adapter : adapters) {
    EXPECT_EQ(Endings(adapter, beforeSignal), ended) << adapter << "\n" << Said();
  }
  MarkedSettings after(folder_);
  after.store.LoadAllSettings();
  EXPECT_TRUE(after.dialogs.messages.empty());
  ASSERT_EQ(after.settings.filters.Size(), 1u);
  EXPECT_EQ(after.settings.filters.At(0).Name, "フィルタ甲");
}

// The files after a signal at any moment: each one present reads back
// whole, and what the user had set is still there.
void ExpectWholeFiles(const fs::path& folder, bool userSettings, int round) {
  MarkedSettings reader(folder);
  reader.store.LoadAllSettings();
  EXPECT_TRUE(reader.dialogs.messages.empty())
      << "round " << round << ": " << reader.dialogs.messages.front();
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find("damaged"), std::string::npos) << "round " << round << ": " << name;
    EXPECT_FALSE(name.ends_with(".autobak")) << "round " << round << ": " << name;
  }
  if (userSettings) {
    ASSERT_EQ(reader.settings.filters.Size(), 1u) << "round " << round;
    EXPECT_EQ(reader.settings.filters.At(0).Name, "フィルタ甲");
    EXPECT_EQ(reader.settings.commands[0].Name, "コマンド甲");
  }
}

TEST_F(DesktopProgram, SigtermAtRandomMomentsLeavesEveryFileWholeAndExitsZero) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 12; ++round) {
    // Odd rounds start in an empty folder, so the signal can meet the
    // first start's writes of every file.
    const bool userSettings = round % 2 == 0;
    Install();
    if (userSettings) {
      MarkedSettings initial(folder_);
      initial.store.LoadAllSettings();
      initial.Mark("eth0");
      initial.settings.general.AUTO_SAVE = 1;
      ASSERT_TRUE(initial.store.SaveAllSettings());
    }
    auto program = Start();
    ASSERT_TRUE(program->Started());
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 2500));
    ASSERT_TRUE(program->Signal(SIGTERM));
    if (round % 3 == 0) {
      // A second signal while the first one's close procedure runs.
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 50));
      program->Signal(SIGTERM);
    }
    EXPECT_EQ(program->WaitForExit(90s), std::optional<int>(0)) << "round " << round << "\n"
                                                                << Said();
    ExpectWholeFiles(folder_, userSettings, round);
  }
}

// A real X server with a window manager that frames windows, as a desktop
// has; the offscreen platform has no frame to get wrong.
class FramingDisplay {
 public:
  explicit FramingDisplay(const fs::path& folder) {
    if (!fs::exists(kXvfb) || !fs::exists(kOpenbox)) {
      return;
    }
    server_ = std::make_unique<Child>(
        kXvfb, std::vector<std::string>{kName, "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
        std::map<std::string, std::string>{}, folder / "xvfb.out");
    if (!WaitFor([] { return fs::exists("/tmp/.X11-unix/X97"); }, 10s)) {
      return;
    }
    manager_ = std::make_unique<Child>(kOpenbox, std::vector<std::string>{},
                                       std::map<std::string, std::string>{{"DISPLAY", kName}},
                                       folder / "openbox.out");
    std::this_thread::sleep_for(1s);  // it takes the screen
    ready_ = manager_->Started();
  }
  bool ready() const { return ready_; }
  static constexpr const char* kName = ":97";

 private:
  static constexpr const char* kXvfb = "/usr/bin/Xvfb";
  static constexpr const char* kOpenbox = "/usr/bin/openbox";
  std::unique_ptr<Child> server_;
  std::unique_ptr<Child> manager_;
  bool ready_ = false;
};

TEST_F(DesktopProgram, TheWindowComesBackInTheFrameItWasSavedInAndOntoTheScreen) {
  FramingDisplay display(root_.path());
  if (!display.ready()) {
    GTEST_SKIP() << "needs Xvfb and openbox (scripts/install-deps.sh installs them)";
  }
  fs::create_directories(root_.path() / "tmp");
  // The window's frame after one start and end with the saved rectangle.
  const auto placedAfterARun = [&](std::optional<WindowRectangle> saved) {
    if (saved) {
      MarkedSettings before(folder_);
      before.store.LoadAllSettings();
      before.settings.general.WINDOW_SIZE = *saved;
      EXPECT_TRUE(before.store.SaveGeneralSettings());
    }
    const std::size_t from = driver_->Log().size();
    auto program = Start({}, {{"QT_QPA_PLATFORM", "xcb"},
                              {"DISPLAY", FramingDisplay::kName},
                              {"TMPDIR", (root_.path() / "tmp").string()},
                              {"LSAN_OPTIONS", "suppressions=" HARLUNE_LEAK_SUPPRESSIONS}});
    EXPECT_TRUE(WaitFor([&] { return !Initialised(from).empty(); }, 30s)) << Said();
    std::this_thread::sleep_for(2s);  // the window manager frames it
    program->Signal(SIGTERM);
    EXPECT_EQ(program->WaitForExit(90s), std::optional<int>(0)) << Said();
    MarkedSettings after(folder_);
    after.store.LoadAllSettings();
    return after.settings.general.WINDOW_SIZE;
  };
  const WindowRectangle placed{299, 180, 1151, 725};
  EXPECT_EQ(placedAfterARun(placed), placed);
  // Started again as it was left: it does not drift.
  EXPECT_EQ(placedAfterARun(std::nullopt), placed);
  EXPECT_EQ(placedAfterARun(std::nullopt), placed);

  // Saved on a screen that is gone: back on this one, the same size.
  const WindowRectangle moved = placedAfterARun(WindowRectangle{3000, -400, 3852, 145});
  EXPECT_GE(moved.left, 0);
  EXPECT_GE(moved.top, 0);
  EXPECT_LE(moved.right, 1280);
  EXPECT_LE(moved.bottom, 800);
  EXPECT_EQ(moved.right - moved.left, 852);
  EXPECT_EQ(moved.bottom - moved.top, 545);
}

}  // namespace
}  // namespace harlune::testing
