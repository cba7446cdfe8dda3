// harlune-headless [SETTINGS_DIR]: Harlune without a window.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "headless/headless_app.h"
#include "headless/stderr_dialogs.h"
#include "platform/linux/linux_engine_services.h"
#include "platform/linux/settings_folder.h"

namespace {

constexpr const char* kUsage =
    "usage: harlune-headless [SETTINGS_DIR]\n"
    "Runs Harlune without a window: loads the settings, drives the packet driver,\n"
    "watches the connections and writes the logs until SIGINT or SIGTERM.\n"
    "Without SETTINGS_DIR the program's folder is used when it is writable,\n"
    "else $XDG_CONFIG_HOME/harlune.\n";

int Fail(const std::string& text) {
  std::fprintf(stderr, "harlune-headless: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 ||
      (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))) {
    std::fputs(kUsage, argc > 2 ? stderr : stdout);
    return argc > 2 ? 2 : 0;
  }
  std::filesystem::path folder;
  if (argc == 2) {
    folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
      return Fail("cannot create " + folder.string() + ": " + error.message());
    }
  } else {
    std::string problem;
    const auto chosen = harlune::ChooseSettingsFolder(harlune::ProgramFolder(), problem);
    if (!chosen) {
      return Fail(problem);
    }
    folder = *chosen;
  }
  folder = std::filesystem::absolute(folder);
  harlune::SettingsFolderLock lock(folder);
  if (!lock.Held()) {
    return Fail(lock.Problem());
  }
  std::error_code error;
  std::filesystem::current_path(folder, error);
  if (error) {
    return Fail("cannot enter " + folder.string() + ": " + error.message());
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  harlune::StderrDialogs dialogs;
  harlune::LinuxEngineServices services;
  harlune::HeadlessOptions options;
  options.settingsFolder = folder;
  return harlune::RunHeadless(options, services, dialogs);
}
