#include "passthru/real/command_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

#include <sys/mman.h>
#include <sys/wait.h>

extern char** environ;

namespace harlune {
namespace {

int WaitForExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// From the start of `fd`, which the program wrote.
bool ReadAll(int fd, std::string& text) {
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    return false;
  }
  char buffer[8192];
  while (true) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return count == 0;
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

}  // namespace

int SpawnCommandRunner::Spawn(const std::vector<std::string>& arguments, int inputFd,
                              int outputFd) {
  if (arguments.empty()) {
    return -1;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (inputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, inputFd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? WaitForExit(pid) : -1;
}

int SpawnCommandRunner::Run(const std::vector<std::string>& arguments) {
  return Spawn(arguments, -1);
}

int SpawnCommandRunner::RunWithInput(const std::vector<std::string>& arguments,
                                     std::string_view input) {
  // A memory file rather than a pipe: the whole input is there before the
  // program starts, so neither side waits for the other and a program that
  // ends early cannot raise SIGPIPE in the daemon.
  const int fd = ::memfd_create("harlune-input", MFD_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  const bool ready = WriteAll(fd, input) && ::lseek(fd, 0, SEEK_SET) == 0;
  const int status = ready ? Spawn(arguments, fd) : -1;
  ::close(fd);
  return status;
}

int SpawnCommandRunner::RunForOutput(const std::vector<std::string>& arguments,
                                     std::string& output) {
  output.clear();
  // A memory file again: the program never waits for the daemon to read.
  const int fd = ::memfd_create("harlune-output", MFD_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  const int status = Spawn(arguments, -1, fd);
  if (status >= 0 && !ReadAll(fd, output)) {
    output.clear();
  }
  ::close(fd);
  return status;
}

}  // namespace harlune
