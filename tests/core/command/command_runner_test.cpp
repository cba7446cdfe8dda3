#include "core/command/command_runner.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/linux/child_process.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

class RecordingSink : public CommandOutputSink {
 public:
  void SetOutput(std::string_view text) override { Add("set:" + std::string(text)); }
  void AppendOutput(std::string_view text) override {
    Add("append:" + std::string(text));
    if (taken) {
      taken(text.size());
    }
  }
  void SetCommandLine(std::string_view text) override { Add("line:" + std::string(text)); }
  void ShowOutputStart() override { Add("top"); }
  void SetRunning(bool running) override { Add(running ? "running" : "idle"); }

  std::vector<std::string> Events() const {
    const std::lock_guard lock(mutex_);
    return events_;
  }
  // The output box's text: the last SetOutput and what was appended after.
  std::string Output() const {
    const std::lock_guard lock(mutex_);
    std::string text;
    for (const std::string& event : events_) {
      if (event.starts_with("set:")) {
        text = event.substr(4);
      } else if (event.starts_with("append:")) {
        text += event.substr(7);
      }
    }
    return text;
  }

 private:
  void Add(std::string event) {
    const std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;

 public:
  // Tells the runner the text was shown; unset, the sink never takes.
  std::function<void(std::size_t)> taken;
};

class ScriptedPrompt : public CommandPrompt {
 public:
  std::optional<std::string> AskValue(std::string_view prompt) override {
    prompts.emplace_back(prompt);
    if (answers.empty()) {
      return std::nullopt;
    }
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::deque<std::optional<std::string>> answers;
  std::vector<std::string> prompts;
};

// Records what would be started and starts nothing.
class RecordingLauncher : public ChildProcessLauncher {
 public:
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& arguments) override {
    started.push_back(arguments);
    return nullptr;
  }
  std::vector<std::vector<std::string>> started;
};

// Output in scripted pieces; an empty optional is a failed read.
class ScriptedProcess : public ChildProcess {
 public:
  explicit ScriptedProcess(std::deque<std::optional<std::string>> reads)
      : reads_(std::move(reads)) {}
  ReadResult ReadOutput(std::string& into, std::size_t) override {
    if (reads_.empty()) {
      return ReadResult::kNoData;
    }
    const std::optional<std::string> next = reads_.front();
    reads_.pop_front();
    if (!next) {
      return ReadResult::kError;
    }
    into += *next;
    return ReadResult::kData;
  }
  void WaitForOutput(std::chrono::milliseconds) override {}
  bool HasEnded() override { return reads_.empty(); }
  void Terminate() override {}

 private:
  std::deque<std::optional<std::string>> reads_;
};

class ScriptedLauncher : public ChildProcessLauncher {
 public:
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>&) override {
    return std::make_unique<ScriptedProcess>(reads);
  }
  std::deque<std::optional<std::string>> reads;
};

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

template <typename Launcher>
struct Page {
  Launcher launcher;
  RecordingSink sink;
  ScriptedPrompt prompt;
  RecordingUserDialogs dialogs;
  CommandRunner runner{launcher, sink, prompt, dialogs};

  explicit Page(bool takesOutput = true) {
    if (takesOutput) {
      sink.taken = [this](std::size_t bytes) { runner.OutputTaken(bytes); };
    }
  }

  bool Finish() {
    return WaitUntil([this] { return !runner.IsRunning(); });
  }
};

TEST(CommandRunnerPrompts, LeftoverMacrosAreAskedInOrderAndUserInputsNumbered) {
  Page<RecordingLauncher> page;
  page.prompt.answers = {"10.0.0.1", "a b", "it's \"x\""};
  EXPECT_FALSE(
      page.runner.RunCommand("tool %ProcessPath% %UserIn% %RemoteAddr% %UserIn% '%ProcessID%'"));
  EXPECT_THAT(page.prompt.prompts,
              ElementsAre("%RemoteAddr% と置き換える文字列を入力してください。",
                          "%ProcessID% と置き換える文字列を入力してください。",
                          "%ProcessPath% と置き換える文字列を入力してください。",
                          "1 番目の %UserIn% と置き換える文字列を入力してください。"));
  // Cancelled at the fourth question.
  EXPECT_TRUE(page.launcher.started.empty());
}

TEST(CommandRunnerPrompts, ValuesStayOneArgumentAndUserInputsFillLeftToRight) {
  Page<RecordingLauncher> page;
  page.prompt.answers = {"10.0.0.1", "first one", "it's \"x\"", ""};
  ASSERT_TRUE(page.runner.RunCommand("tool %RemoteAddr% %UserIn% '%UserIn%' x%UserIn%"));
  ASSERT_TRUE(page.Finish());
  ASSERT_EQ(page.launcher.started.size(), 1u);
  EXPECT_THAT(page.launcher.started[0],
              ElementsAre("tool", "10.0.0.1", "first one", "it's \"x\"", "x"));
  EXPECT_EQ(page.prompt.prompts[3], "3 番目の %UserIn% と置き換える文字列を入力してください。");
  // A program the launcher could not start.
  EXPECT_EQ(page.sink.Output(),
            ">tool 10.0.0.1 first one 'it's \"x\"' x\r\n" + std::string(kInvalidCommand));
}

TEST(CommandRunnerPrompts, CancellingTheDefaultNetSendAtItsSecondPromptRunsNothing) {
  Page<RecordingLauncher> page;
  page.prompt.answers = {"192.168.0.9"};  // then Cancel
  EXPECT_FALSE(page.runner.RunCommand(DefaultExternalCommands()[2].CommandLine));
  EXPECT_THAT(page.prompt.prompts,
              ElementsAre("%RemoteAddr% と置き換える文字列を入力してください。",
                          "1 番目の %UserIn% と置き換える文字列を入力してください。"));
  EXPECT_FALSE(page.runner.IsRunning());
  EXPECT_TRUE(page.sink.Events().empty());
  EXPECT_TRUE(page.launcher.started.empty());
}

TEST(CommandRunnerPrompts, FilledTemplateFromAMonitorAsksNothing) {
  Page<RecordingLauncher> page;
  CommandTemplate command = CommandTemplate::Parse("ping -c 4 %RemoteAddr%");
  ConnectionMacroValues values;
  values.remoteAddr = IpAddress::FromIpv4(0x0100007F);  // 127.0.0.1
  FillConnectionMacros(command, values);
  ASSERT_TRUE(page.runner.RunCommand(command));
  ASSERT_TRUE(page.Finish());
  EXPECT_TRUE(page.prompt.prompts.empty());
  EXPECT_THAT(page.launcher.started, ElementsAre(ElementsAre("ping", "-c", "4", "127.0.0.1")));
}

TEST(CommandRunnerFailures, InvalidCommandLinesShowTheEchoAndTheError) {
  for (const std::string line : {"", "   ", "echo 'unclosed", "\"\" x"}) {
    Page<RecordingLauncher> page;
    ASSERT_TRUE(page.runner.RunCommand(line));
    ASSERT_TRUE(page.Finish());
    EXPECT_TRUE(page.launcher.started.empty()) << line;
    EXPECT_THAT(page.sink.Events(), ElementsAre("running", "set:>" + line + "\r\n", "line:" + line,
                                                "append:" + std::string(kInvalidCommand), "idle"))
        << line;
  }
}

TEST(CommandRunnerFailures, ReadErrorShowsWhatCameAndTheIoError) {
  Page<ScriptedLauncher> page;
  page.launcher.reads = {"partial\n", std::nullopt, "never"};
  ASSERT_TRUE(page.runner.RunCommand("x"));
  ASSERT_TRUE(page.Finish());
  EXPECT_EQ(page.sink.Output(), ">x\r\npartial\n" + std::string(kCommandIoError));
  EXPECT_EQ(page.sink.Events().back(), "idle");
}

TEST(CommandRunnerOutput, CharacterSplitBetweenReadsReachesThePageWhole) {
  Page<ScriptedLauncher> page;
  page.launcher.reads = {"a\xE3", "\x81", "\x82z", "\xE3"};  // "aあz" and a cut-off byte
  ASSERT_TRUE(page.runner.RunCommand("x"));
  ASSERT_TRUE(page.Finish());
  const std::vector<std::string> events = page.sink.Events();
  EXPECT_THAT(std::vector<std::string>(events.begin() + 3, events.end()),
              ElementsAre("append:a", "append:\xE3\x81\x82z", "append:\xE3", "top", "idle"));
}

// Real child processes from here on.
using RealPage = Page<SpawnChildProcessLauncher>;

TEST(CommandRunnerProcess, LongOutputArrivesCompleteAndInOrder) {
  RealPage page;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    expected += "line " + std::to_string(i) + "\n";
  }
  ASSERT_TRUE(page.runner.RunCommand(
      "sh -c 'i=0; while [ $i -lt 5000 ]; do echo \"line $i\"; i=$((i+1)); done'"));
  ASSERT_TRUE(page.Finish());
  ASSERT_GT(expected.size(), 4095u * 4);
  const std::string echo =
      ">sh -c 'i=0; while [ $i -lt 5000 ]; do echo \"line $i\"; i=$((i+1)); done'\r\n";
  EXPECT_EQ(page.sink.Output(), echo + expected);
  const std::vector<std::string> events = page.sink.Events();
  EXPECT_EQ(events.front(), "running");
  EXPECT_THAT(std::vector<std::string>(events.end() - 2, events.end()), ElementsAre("top", "idle"));
}

TEST(CommandRunnerProcess, NoShellRunsTheLine) {
  RealPage page;
  page.prompt.answers = {"$(id); `id` > /tmp/x *"};
  ASSERT_TRUE(page.runner.RunCommand("echo %UserIn% $HOME | cat"));
  ASSERT_TRUE(page.Finish());
  EXPECT_EQ(page.sink.Output(),
            ">echo $(id); `id` > /tmp/x * $HOME | cat\r\n$(id); `id` > /tmp/x * $HOME | cat\n");
}

TEST(CommandRunnerProcess, ProgramThatDoesNotExist) {
  RealPage page;
  ASSERT_TRUE(page.runner.RunCommand("harlune-no-such-program-xyz --flag"));
  ASSERT_TRUE(page.Finish());
  EXPECT_EQ(page.sink.Output(),
            ">harlune-no-such-program-xyz --flag\r\n" + std::string(kInvalidCommand));
  EXPECT_EQ(page.sink.Events().back(), "idle");
  // The page can run again at once.
  ASSERT_TRUE(page.runner.RunCommand("echo again"));
  ASSERT_TRUE(page.Finish());
  EXPECT_EQ(page.sink.Output(), ">echo again\r\nagain\n");
}

TEST(CommandRunnerProcess, AbortEndsTheCommandAndWhatItStartedAndKeepsItsOutput) {
  RealPage page;
  // The shell waits for a child of its own: both must end.
  ASSERT_TRUE(page.runner.RunCommand("sh -c 'echo go-$((1+1)); sleep 30; echo never'"));
  ASSERT_TRUE(WaitUntil([&] { return page.sink.Output().find("go-2") != std::string::npos; }));

  EXPECT_FALSE(page.runner.RunCommand("echo second"));
  EXPECT_THAT(page.dialogs.messages, ElementsAre(std::string(kCommandStillRunning)));

  const auto start = std::chrono::steady_clock::now();
  page.runner.Abort();
  ASSERT_TRUE(WaitUntil([&] { return !page.runner.IsRunning(); }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(page.sink.Output(), ">sh -c 'echo go-$((1+1)); sleep 30; echo never'\r\ngo-2\n" +
                                    std::string(kCommandAborted));
  EXPECT_EQ(page.sink.Events().back(), "idle");
}

TEST(CommandRunnerProcess, CloseAndWaitEndsTheRunSilently) {
  RealPage page;
  ASSERT_TRUE(page.runner.RunCommand("sh -c 'echo up-$((1+1)); exec sleep 30'"));
  ASSERT_TRUE(WaitUntil([&] { return page.sink.Output().find("up-2") != std::string::npos; }));
  const std::size_t eventsBefore = page.sink.Events().size();
  page.runner.CloseAndWait();
  EXPECT_FALSE(page.runner.IsRunning());
  EXPECT_EQ(page.sink.Events().size(), eventsBefore) << "nothing reaches a closing page";
}

// A chatty program against a page that is slow to take its output.
TEST(CommandRunnerFlood, OutputNotTakenHoldsTheReaderAtTheBoundAndAbortStillEndsItAtOnce) {
  RealPage page(/*takesOutput=*/false);
  ASSERT_TRUE(page.runner.RunCommand("yes"));
  ASSERT_TRUE(WaitUntil([&] { return page.runner.PendingOutputBytes() > 0; }));
  std::size_t largest = 0;
  const auto watchEnd = std::chrono::steady_clock::now() + 500ms;
  while (std::chrono::steady_clock::now() < watchEnd) {
    largest = std::max(largest, page.runner.PendingOutputBytes());
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_LE(largest, CommandRunner::kOutputBound);
  // The reader filled what it may and then waited: nothing more came.
  EXPECT_GT(largest, CommandRunner::kOutputBound - CommandRunner::kReadChunk);
  const std::size_t shown = page.sink.Output().size();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(page.sink.Output().size(), shown);

  const auto start = std::chrono::steady_clock::now();
  page.runner.Abort();
  ASSERT_TRUE(WaitUntil([&] { return !page.runner.IsRunning(); }, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
  const std::string output = page.sink.Output();
  // What was left in the pipe may stop inside a line.
  ASSERT_TRUE(output.ends_with(kCommandAborted)) << output.size();
  const std::string beforeMessage = output.substr(0, output.size() - kCommandAborted.size());
  EXPECT_EQ(beforeMessage.find_first_not_of("y\n", beforeMessage.find("\r\n") + 2),
            std::string::npos);
}

TEST(CommandRunnerFlood, CloseAndWaitWhileTheReaderWaitsForRoomReturnsAtOnce) {
  RealPage page(/*takesOutput=*/false);
  ASSERT_TRUE(page.runner.RunCommand("yes"));
  ASSERT_TRUE(WaitUntil(
      [&] { return page.runner.PendingOutputBytes() > CommandRunner::kOutputBound / 2; }));
  const auto start = std::chrono::steady_clock::now();
  page.runner.CloseAndWait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
  EXPECT_FALSE(page.runner.IsRunning());
}

TEST(CommandRunnerFlood, OutputFarBeyondTheBoundArrivesWholeAndInOrder) {
  RealPage page;
  ASSERT_TRUE(page.runner.RunCommand("seq 1 200000"));
  ASSERT_TRUE(page.Finish());
  const std::string output = page.sink.Output();
  std::string expected = ">seq 1 200000\r\n";
  for (int i = 1; i <= 200000; ++i) {
    expected += std::to_string(i) + "\n";
  }
  ASSERT_GT(expected.size(), 10 * CommandRunner::kOutputBound);
  EXPECT_EQ(output.size(), expected.size());
  EXPECT_TRUE(output == expected) << "the output differs from seq's";
  EXPECT_TRUE(output.ends_with("\n199999\n200000\n"));
  EXPECT_EQ(page.runner.PendingOutputBytes(), 0u);
}

}  // namespace
}  // namespace harlune
