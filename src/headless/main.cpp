// harlune-headless [SETTINGS_DIR]: Harlune without a window.

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "headless/headless_app.h"
#include "headless/stderr_dialogs.h"
#include "platform/linux/linux_engine_services.h"
#include "platform/linux/settings_folder.h"

namespace {

constexpr const char* kUsage =
    "usage: harlune-headless [SETTINGS_DIR]\n"
    "       harlune-headless --help | --version\n"
    "Runs Harlune without a window: loads the settings, drives the packet driver,\n"
    "watches the connections and writes the logs until SIGINT or SIGTERM.\n"
    "Without SETTINGS_DIR the program's folder is used when it is writable,\n"
    "else $XDG_CONFIG_HOME/harlune (a folder whose name starts with '-' is\n"
    "given as ./-name).\n";

// The exit code when the command line asks for no run (--help, --version)
// or is wrong; nothing when the program is to run.
std::optional<int> AnswerWithoutRunning(int argc, char** argv) {
  if (argc < 2) {
    return std::nullopt;
  }
  const std::string_view first = argv[1];
  if (argc == 2 && (first == "--help" || first == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && first == "--version") {
    std::printf("harlune-headless %s\n", HARLUNE_VERSION);
    return 0;
  }
  // A mistyped option is not taken for a settings folder to create.
  if (argc > 2 || first.starts_with("-")) {
    const char* unexpected = first.starts_with("-") ? argv[1] : argv[2];
    std::fprintf(stderr, "harlune-headless: unexpected argument %s\n", unexpected);
    std::fputs(kUsage, stderr);
    return 2;
  }
  return std::nullopt;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "harlune-headless: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> exitCode = AnswerWithoutRunning(argc, argv)) {
    return *exitCode;
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
