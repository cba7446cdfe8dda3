#pragma once

// Runs one external command at a time: asks the user for the macros still
// open, starts the program (never through a shell) on a worker thread and
// streams its output to the page, which can abort it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/base/user_dialogs.h"
#include "core/command/external_command.h"

namespace harlune {

inline constexpr std::string_view kCommandStillRunning = "まだ前回のプロセスが起動中です。";
inline constexpr std::string_view kInvalidCommand = "エラー：無効なコマンドです";
inline constexpr std::string_view kCommandIoError = "エラー：IOエラー";
inline constexpr std::string_view kCommandAborted = "\n中止されました\n";

// A started program whose standard output comes through a pipe.
class ChildProcess {
 public:
  enum class ReadResult {
    kData,    // bytes were appended
    kNoData,  // nothing waiting now (or the pipe is closed)
    kError,
  };

  virtual ~ChildProcess() = default;

  // Appends at most `maxBytes` of what is waiting, without blocking.
  virtual ReadResult ReadOutput(std::string& into, std::size_t maxBytes) = 0;

  // Waits until output is waiting or the time is over.
  virtual void WaitForOutput(std::chrono::milliseconds timeout) = 0;

  // Whether the program has ended, without waiting.
  virtual bool HasEnded() = 0;

  // Ends the program and what it started.
  virtual void Terminate() = 0;
};

class ChildProcessLauncher {
 public:
  virtual ~ChildProcessLauncher() = default;

  // Starts arguments[0] (looked up in PATH) with the arguments; nullptr when
  // it cannot be started.
  virtual std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& arguments) = 0;
};

// The output box and buttons of the command page. Calls come from the
// user-interface thread and from the worker; the page must not make the
// worker wait for the user-interface thread (post, do not block), since
// CloseAndWait holds that thread until the worker has ended.
class CommandOutputSink {
 public:
  virtual ~CommandOutputSink() = default;

  // Replaces the whole output (the echo line of a new run).
  virtual void SetOutput(std::string_view text) = 0;
  // The sink calls CommandRunner::OutputTaken with the text's size once it
  // has shown the text: until then the text counts against the bound.
  virtual void AppendOutput(std::string_view text) = 0;
  // Shows the command line that runs in the command line box.
  virtual void SetCommandLine(std::string_view text) = 0;
  // Puts the view back at the top of the output.
  virtual void ShowOutputStart() = 0;
  // true: "実行" disabled and "中止" enabled; false: the other way round.
  virtual void SetRunning(bool running) = 0;
};

// Asks the user for a macro's value ("実行時ユーザー入力").
class CommandPrompt {
 public:
  virtual ~CommandPrompt() = default;

  // The text entered (maybe empty); nullopt when the user cancelled.
  virtual std::optional<std::string> AskValue(std::string_view prompt) = 0;
};

class CommandRunner {
 public:
  static constexpr std::size_t kReadChunk = 4095;
  static constexpr std::chrono::milliseconds kPollPeriod{50};
  // Output handed to the page and not yet taken by it: at this much the
  // worker stops reading, so a program writing faster than the page shows
  // blocks on its full pipe instead of filling memory.
  static constexpr std::size_t kOutputBound = 16 * 1024;

  CommandRunner(ChildProcessLauncher& launcher, CommandOutputSink& sink, CommandPrompt& prompt,
                UserDialogs& dialogs);
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;
  ~CommandRunner();

  // The one entry for every run. Refuses while a command runs, asks the
  // open macros, and starts the worker; false when nothing started (busy or
  // a prompt cancelled).
  bool RunCommand(std::string_view commandLine);
  bool RunCommand(CommandTemplate command);

  // The worker ends the program at its next poll.
  void Abort();

  // Ends a running command and returns once its worker has ended; the page
  // hears nothing more from that run.
  void CloseAndWait();

  // A worker exists (from the start of a run until its worker ends).
  bool IsRunning() const { return workerActive_.load(); }

  // The page has shown `bytes` of the text it was given by AppendOutput
  // (any thread); the worker may read that much again.
  void OutputTaken(std::size_t bytes);
  // Bytes given to the page by AppendOutput and not yet taken.
  std::size_t PendingOutputBytes() const;

 private:
  // Asks each open macro, the numbered "%UserIn%" last; false on Cancel.
  bool AskOpenMacros(CommandTemplate& command);
  void Work(std::string commandLine, CommandArguments arguments);
  void RunProcess(ChildProcess& process);
  // Waits until the page has room for more than `held` bytes; the bytes
  // the next read may bring, 0 when an abort ended the wait.
  std::size_t WaitForRoom(std::size_t held);
  // Appends program output to the page, counted against the bound.
  void AppendProgramOutput(std::string text);
  // Wakes a worker waiting for room (abort, close).
  void WakeWorker();
  // Passes a call to the page unless it is closing.
  template <typename Call>
  void ToSink(Call call);

  ChildProcessLauncher& launcher_;
  CommandOutputSink& sink_;
  CommandPrompt& prompt_;
  UserDialogs& dialogs_;

  std::thread worker_;
  std::atomic<bool> workerActive_{false};
  std::atomic<bool> abortRequested_{false};
  std::mutex sinkMutex_;
  bool closing_ = false;  // guarded by sinkMutex_
  mutable std::mutex roomMutex_;
  std::condition_variable room_;
  std::size_t pendingOutput_ = 0;  // guarded by roomMutex_
};

// The prompt for a macro: "%RemotePort% と置き換える文字列を入力してください。",
// or with a number for the user's inputs: "2 番目の %UserIn% と置き換える…".
std::string MacroPromptText(std::string_view macro, int number = 0);

}  // namespace harlune
