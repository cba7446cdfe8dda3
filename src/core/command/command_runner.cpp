#include "core/command/command_runner.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <utility>

namespace harlune {
namespace {

// The order in which the page asks open macros; "%UserIn%" comes after.
constexpr std::array<std::string_view, 14> kPromptOrder = {
    "%LocalAddr%",    "%LocalPort%",   "%RemoteAddr%", "%RemotePort%",  "%RemoteHost%",
    "%RemoteDomain%", "%ProcessName%", "%ProcessID%",  "%ProcessPath%", "%ProcessDir%",
    "%SrcAddr%",      "%SrcPort%",     "%DestAddr%",   "%DestPort%"};

// The length of an unfinished UTF-8 character at the end of `text`, held
// back so that a character split between two reads reaches the page whole.
std::size_t UnfinishedUtf8Tail(std::string_view text) {
  const std::size_t look = std::min<std::size_t>(3, text.size());
  for (std::size_t back = 1; back <= look; ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) {
      continue;  // a continuation byte: look further back for the lead
    }
    std::size_t length = 1;
    if (byte >= 0xF0 && byte <= 0xF4) {
      length = 4;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      length = 3;
    } else if (byte >= 0xC2 && byte <= 0xDF) {
      length = 2;
    }
    return length > back ? back : 0;
  }
  return 0;
}

}  // namespace

std::string MacroPromptText(std::string_view macro, int number) {
  std::string text;
  if (number > 0) {
    text = std::to_string(number) + " 番目の ";
  }
  text += macro;
  text += " と置き換える文字列を入力してください。";
  return text;
}

CommandRunner::CommandRunner(ChildProcessLauncher& launcher, CommandOutputSink& sink,
                             CommandPrompt& prompt, UserDialogs& dialogs)
    : launcher_(launcher), sink_(sink), prompt_(prompt), dialogs_(dialogs) {}

CommandRunner::~CommandRunner() { CloseAndWait(); }

bool CommandRunner::RunCommand(std::string_view commandLine) {
  return RunCommand(CommandTemplate::Parse(commandLine));
}

bool CommandRunner::RunCommand(CommandTemplate command) {
  if (workerActive_.load()) {
    dialogs_.ShowMessage(kCommandStillRunning);
    return false;
  }
  if (!AskOpenMacros(command)) {
    return false;
  }
  if (worker_.joinable()) {
    worker_.join();  // the previous worker has finished its run
  }
  {
    const std::lock_guard lock(sinkMutex_);
    closing_ = false;
  }
  abortRequested_ = false;
  {
    const std::lock_guard lock(roomMutex_);
    pendingOutput_ = 0;
  }
  workerActive_ = true;
  // Before the worker starts, so that its own "not running" comes after.
  ToSink([](CommandOutputSink& sink) { sink.SetRunning(true); });
  try {
    worker_ = std::thread(&CommandRunner::Work, this, command.Text(), command.Arguments());
  } catch (const std::system_error&) {
    ToSink([&](CommandOutputSink& sink) {
      sink.SetOutput(">" + command.Text() + "\r\n");
      sink.AppendOutput(kInvalidCommand);
      sink.SetRunning(false);
    });
    workerActive_ = false;
    return false;
  }
  return true;
}

bool CommandRunner::AskOpenMacros(CommandTemplate& command) {
  for (const std::string_view macro : kPromptOrder) {
    if (!command.Contains(macro)) {
      continue;
    }
    const std::optional<std::string> value = prompt_.AskValue(MacroPromptText(macro));
    if (!value) {
      return false;
    }
    command.Fill(macro, *value);
  }
  for (int number = 1; command.Contains(kUserInputMacro); ++number) {
    const std::optional<std::string> value =
        prompt_.AskValue(MacroPromptText(kUserInputMacro, number));
    if (!value) {
      return false;
    }
    command.FillFirst(kUserInputMacro, *value);
  }
  return true;
}

void CommandRunner::Abort() {
  abortRequested_ = true;
  WakeWorker();
}

void CommandRunner::WakeWorker() {
  // Under the lock, so that a worker about to wait cannot miss the wake-up.
  const std::lock_guard lock(roomMutex_);
  room_.notify_all();
}

void CommandRunner::OutputTaken(std::size_t bytes) {
  const std::lock_guard lock(roomMutex_);
  pendingOutput_ -= std::min(bytes, pendingOutput_);
  room_.notify_all();
}

std::size_t CommandRunner::PendingOutputBytes() const {
  const std::lock_guard lock(roomMutex_);
  return pendingOutput_;
}

std::size_t CommandRunner::WaitForRoom(std::size_t held) {
  std::unique_lock lock(roomMutex_);
  room_.wait(lock, [&] { return abortRequested_.load() || pendingOutput_ + held < kOutputBound; });
  if (abortRequested_.load()) {
    return 0;
  }
  return kOutputBound - pendingOutput_ - held;
}

void CommandRunner::AppendProgramOutput(std::string text) {
  {
    const std::lock_guard lock(roomMutex_);
    pendingOutput_ += text.size();
  }
  ToSink([&](CommandOutputSink& sink) { sink.AppendOutput(text); });
}

void CommandRunner::CloseAndWait() {
  {
    const std::lock_guard lock(sinkMutex_);
    closing_ = true;
  }
  abortRequested_ = true;
  WakeWorker();
  if (worker_.joinable()) {
    worker_.join();
  }
}

template <typename Call>
void CommandRunner::ToSink(Call call) {
  const std::lock_guard lock(sinkMutex_);
  if (!closing_) {
    call(sink_);
  }
}

void CommandRunner::Work(std::string commandLine, CommandArguments arguments) {
  ToSink([&](CommandOutputSink& sink) {
    sink.SetOutput(">" + commandLine + "\r\n");
    sink.SetCommandLine(commandLine);
  });
  std::unique_ptr<ChildProcess> process;
  if (arguments.error.empty() && !arguments.arguments.empty() &&
      !arguments.arguments.front().empty()) {
    process = launcher_.Start(arguments.arguments);
  }
  if (process) {
    RunProcess(*process);
    process.reset();  // reaps the program
  } else {
    ToSink([](CommandOutputSink& sink) { sink.AppendOutput(kInvalidCommand); });
  }
  ToSink([](CommandOutputSink& sink) { sink.SetRunning(false); });
  workerActive_ = false;
}

void CommandRunner::RunProcess(ChildProcess& process) {
  bool aborted = false;
  std::size_t readSinceAbort = 0;
  std::string held;  // the start of a character whose end has not come yet
  const auto show = [&](bool all) {
    const std::size_t keep = all ? 0 : UnfinishedUtf8Tail(held);
    if (held.size() > keep) {
      AppendProgramOutput(held.substr(0, held.size() - keep));
      held.erase(0, held.size() - keep);
    }
  };
  while (true) {
    if (abortRequested_.load() && !aborted) {
      process.Terminate();
      aborted = true;  // what it wrote before is still shown below
    }
    std::size_t limit = kReadChunk;
    if (!aborted) {
      limit = std::min(kReadChunk, WaitForRoom(held.size()));
      if (limit == 0) {
        continue;  // an abort ended the wait
      }
    } else if (readSinceAbort >= kOutputBound) {
      break;  // something outside the ended group still writes: enough of it
    }
    const std::size_t before = held.size();
    const ChildProcess::ReadResult read = process.ReadOutput(held, limit);
    if (read == ChildProcess::ReadResult::kData) {
      readSinceAbort += aborted ? held.size() - before : 0;
      show(false);
      continue;  // read on while there is output and room for it
    }
    if (read == ChildProcess::ReadResult::kError) {
      show(true);
      ToSink([](CommandOutputSink& sink) { sink.AppendOutput(kCommandIoError); });
      return;
    }
    if (process.HasEnded()) {
      break;
    }
    process.WaitForOutput(kPollPeriod);
  }
  show(true);
  ToSink([aborted](CommandOutputSink& sink) {
    if (aborted) {
      sink.AppendOutput(kCommandAborted);
    } else {
      sink.ShowOutputStart();
    }
  });
}

}  // namespace harlune
