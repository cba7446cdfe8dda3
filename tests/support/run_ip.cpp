#include "support/run_ip.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <sys/wait.h>

extern char** environ;

namespace harlune::testing {

bool RunIp(std::vector<std::string> arguments) {
  static constexpr const char* kIp = "/usr/sbin/ip";
  arguments.insert(arguments.begin(), kIp);
  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, kIp, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace harlune::testing
