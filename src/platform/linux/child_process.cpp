#include "platform/linux/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include <sys/wait.h>

extern char** environ;

namespace harlune {
namespace {

class SpawnedProcess final : public ChildProcess {
 public:
  SpawnedProcess(pid_t pid, int readEnd) : pid_(pid), readEnd_(readEnd) {}
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;

  ~SpawnedProcess() override {
    close(readEnd_);
    if (reaped_ || HasEnded()) {
      return;
    }
    // Still running (the page stopped reading after an I/O error): it is
    // left to run, and reaped when it ends so that it leaves no zombie.
    std::thread([pid = pid_] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }

  ReadResult ReadOutput(std::string& into, std::size_t maxBytes) override {
    if (endOfOutput_) {
      return ReadResult::kNoData;
    }
    std::string buffer(maxBytes, '\0');
    while (true) {
      const ssize_t got = read(readEnd_, buffer.data(), buffer.size());
      if (got > 0) {
        into.append(buffer.data(), static_cast<std::size_t>(got));
        return ReadResult::kData;
      }
      if (got == 0) {
        endOfOutput_ = true;
        return ReadResult::kNoData;
      }
      if (errno == EINTR) {
        continue;
      }
      return errno == EAGAIN || errno == EWOULDBLOCK ? ReadResult::kNoData : ReadResult::kError;
    }
  }

  void WaitForOutput(std::chrono::milliseconds timeout) override {
    if (endOfOutput_) {
      // A closed pipe is always "ready": wait the time out instead of spinning.
      std::this_thread::sleep_for(timeout);
      return;
    }
    pollfd wait{readEnd_, POLLIN, 0};
    poll(&wait, 1, static_cast<int>(timeout.count()));
  }

  bool HasEnded() override {
    if (reaped_) {
      return true;
    }
    int status = 0;
    pid_t done = 0;
    do {
      done = waitpid(pid_, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    reaped_ = done == pid_ || (done < 0 && errno == ECHILD);
    return reaped_;
  }

  void Terminate() override {
    if (!reaped_) {
      // The whole process group: a program's own children end with it.
      kill(-pid_, SIGKILL);
    }
  }

 private:
  pid_t pid_;
  int readEnd_;
  bool reaped_ = false;
  bool endOfOutput_ = false;
};

// posix_spawn's attributes and file actions, destroyed on every path.
struct SpawnSetup {
  SpawnSetup() {
    actionsReady = posix_spawn_file_actions_init(&actions) == 0;
    attributesReady = posix_spawnattr_init(&attributes) == 0;
  }
  ~SpawnSetup() {
    if (actionsReady) {
      posix_spawn_file_actions_destroy(&actions);
    }
    if (attributesReady) {
      posix_spawnattr_destroy(&attributes);
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions{};
  posix_spawnattr_t attributes{};
  bool actionsReady = false;
  bool attributesReady = false;
};

}  // namespace

std::unique_ptr<ChildProcess> SpawnChildProcessLauncher::Start(
    const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments.front().empty()) {
    return nullptr;
  }
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    return nullptr;
  }
  const int readEnd = pipeEnds[0];
  const int writeEnd = pipeEnds[1];

  SpawnSetup setup;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t none;
  sigemptyset(&none);
  // A session of its own: no controlling terminal, and one process group
  // that an abort ends as a whole. Signals the program ignores here (SIGPIPE)
  // are restored, and nothing is blocked.
  const bool ready =
      setup.actionsReady && setup.attributesReady &&
      posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
      posix_spawn_file_actions_adddup2(&setup.actions, writeEnd, 1) == 0 &&
      posix_spawn_file_actions_adddup2(&setup.actions, writeEnd, 2) == 0 &&
      posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3) == 0 &&
      posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                                      POSIX_SPAWN_SETSIGMASK) == 0 &&
      posix_spawnattr_setsigdefault(&setup.attributes, &defaults) == 0 &&
      posix_spawnattr_setsigmask(&setup.attributes, &none) == 0;

  pid_t pid = -1;
  int spawned = -1;
  if (ready) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    spawned =
        posix_spawnp(&pid, argv.front(), &setup.actions, &setup.attributes, argv.data(), environ);
  }
  close(writeEnd);
  if (spawned != 0) {
    close(readEnd);
    return nullptr;
  }
  // The worker polls: reads must never block it.
  fcntl(readEnd, F_SETFL, fcntl(readEnd, F_GETFL) | O_NONBLOCK);
  return std::make_unique<SpawnedProcess>(pid, readEnd);
}

}  // namespace harlune
