// The external command page running real programs: prompts for open macros,
// the one-run-at-a-time rule, streamed output, abort, close-and-wait, and
// the list's new, edit and delete.

#include "gui/pages/command_page.h"

#include <QListView>
#include <QStringList>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

constexpr int kRunTimeoutMs = 10000;

// Answers each prompt from a script (nullopt = Cancel) and keeps the prompts.
struct PromptScript {
  std::vector<QString> prompts;
  std::deque<std::optional<QString>> answers;
};

class ScriptedPrompt final : public CInputUserArgDlg {
 public:
  ScriptedPrompt(PromptScript& script, QWidget* parent)
      : CInputUserArgDlg(parent), script_(script) {}

  int exec() override {
    script_.prompts.push_back(Prompt());
    EXPECT_TRUE(Value().isEmpty());
    std::optional<QString> answer;
    if (!script_.answers.empty()) {
      answer = script_.answers.front();
      script_.answers.pop_front();
    }
    if (!answer) {
      return Rejected;
    }
    valueEdit().setText(*answer);
    return Accepted;
  }

 private:
  PromptScript& script_;
};

// Types a name and a command line and presses OK.
class ScriptedEditor final : public CEditExternalCommand {
 public:
  ScriptedEditor(UserDialogs& dialogs, QString name, QString commandLine, QWidget* parent)
      : CEditExternalCommand(dialogs, parent), name_(name), commandLine_(commandLine) {}

  int exec() override {
    nameEdit().setText(name_);
    commandLineEdit().setText(commandLine_);
    accept();
    return result();
  }

 private:
  QString name_;
  QString commandLine_;
};

QString Numbered(int number) {
  return QString::number(number) +
         QStringLiteral(" 番目の %UserIn% と置き換える文字列を入力してください。");
}

class CommandPageTest : public ::testing::Test {
 protected:
  CommandPageTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
    EXPECT_TRUE(engine_.Initialise());
    page_ = std::make_unique<CommandPage>(engine_, dialogs_);
    page_->SetPromptFactory(
        [this](QWidget* parent) { return std::make_unique<ScriptedPrompt>(script_, parent); });
  }

  // Waits until the run has ended and everything it sent has been shown.
  bool WaitForIdle() {
    return QTest::qWaitFor([this] { return !page_->IsRunning() && page_->runButton().isEnabled(); },
                           kRunTimeoutMs);
  }

  QString Output() const { return page_->outputBox().toPlainText(); }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  HarluneEngine engine_{folder_.path(), services_, dialogs_, scheduler_, view_};
  PromptScript script_;
  std::unique_ptr<CommandPage> page_;
};

TEST_F(CommandPageTest, TwoUserInputsAreAskedNumberedAndFilledLeftToRight) {
  script_.answers = {QStringLiteral("a"), QStringLiteral("b c")};
  page_->Run(QStringLiteral("echo %UserIn% and %UserIn%"));
  ASSERT_TRUE(WaitForIdle());
  EXPECT_EQ(script_.prompts, (std::vector{Numbered(1), Numbered(2)}));
  EXPECT_EQ(Output(), QStringLiteral(">echo a and b c\na and b c\n"));
  EXPECT_EQ(page_->commandLineEdit().text(), QStringLiteral("echo a and b c"));
}

TEST_F(CommandPageTest, AFilledValueStaysOneArgumentWhateverItHolds) {
  CommandTemplate command = CommandTemplate::Parse("printf '[%s]\\n' %ProcessName%");
  command.Fill("%ProcessName%", "two words 'and' \"quotes\"");
  page_->RunTemplate(command);
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(Output().endsWith(QStringLiteral("\n[two words 'and' \"quotes\"]\n")))
      << Output().toStdString();
}

TEST_F(CommandPageTest, CancellingAPromptRunsNothing) {
  // The factory "net send" command, run from the page without a connection.
  const ExternalCommand& netSend = engine_.settings().commands[2];
  script_.answers = {QStringLiteral("10.0.0.1"), std::nullopt};
  page_->Run(QString::fromStdString(netSend.CommandLine));
  EXPECT_EQ(script_.prompts,
            (std::vector{QStringLiteral("%RemoteAddr% と置き換える文字列を入力してください。"),
                         Numbered(1)}));
  EXPECT_FALSE(page_->IsRunning());
  QTest::qWait(50);
  EXPECT_TRUE(Output().isEmpty());
  EXPECT_TRUE(page_->runButton().isEnabled());
}

TEST_F(CommandPageTest, OutputBeyondOneReadArrivesCompleteAndInOrder) {
  page_->Run(QStringLiteral("seq 1 3000"));
  ASSERT_TRUE(WaitForIdle());
  QString expected = QStringLiteral(">seq 1 3000\n");
  for (int i = 1; i <= 3000; ++i) {
    expected += QString::number(i) + u'\n';
  }
  ASSERT_GT(expected.size(), 4095);
  EXPECT_EQ(Output(), expected);
  EXPECT_TRUE(script_.prompts.empty());
  EXPECT_EQ(page_->outputBox().textCursor().position(), 0);  // back at the top
}

TEST_F(CommandPageTest, SecondRunIsRefusedAndAbortEndsTheFirst) {
  page_->Run(QStringLiteral("sleep 5"));
  ASSERT_TRUE(QTest::qWaitFor([this] { return page_->abortButton().isEnabled(); }));
  EXPECT_FALSE(page_->runButton().isEnabled());

  page_->Run(QStringLiteral("echo x"));
  EXPECT_EQ(dialogs_.messages, std::vector<std::string>{"まだ前回のプロセスが起動中です。"});

  page_->abortButton().click();
  ASSERT_TRUE(WaitForIdle());
  EXPECT_EQ(Output(), QStringLiteral(">sleep 5\n\n中止されました\n"));
  EXPECT_FALSE(page_->abortButton().isEnabled());
}

TEST_F(CommandPageTest, UnknownProgramShowsTheEchoAndTheError) {
  page_->Run(QStringLiteral("no-such-program-of-harlune --x"));
  ASSERT_TRUE(WaitForIdle());
  EXPECT_EQ(Output(),
            QStringLiteral(">no-such-program-of-harlune --x\nエラー：無効なコマンドです"));
}

TEST_F(CommandPageTest, CloseAndWaitEndsTheRunningCommandAndShowsNothingMore) {
  page_->Run(QStringLiteral("sleep 30"));
  const auto start = std::chrono::steady_clock::now();
  page_->CloseAndWait();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(page_->IsRunning());
  QTest::qWait(50);
  EXPECT_FALSE(Output().contains(QStringLiteral("中止されました")));
}

TEST_F(CommandPageTest, OutputOverTheLimitsKeepsTheNewestWholeLinesUnderOneMarker) {
  const QString marker = CommandPage::kOutputTrimmedMarker.toString() + u'\n';
  // The newest lines of a run, after one marker; false when it is not so.
  const auto kept = [&](const QString& command, int lastNumber) {
    page_->Run(command);
    EXPECT_TRUE(WaitForIdle());
    const QString output = Output();
    EXPECT_TRUE(output.startsWith(marker)) << output.left(80).toStdString();
    EXPECT_EQ(output.count(CommandPage::kOutputTrimmedMarker.toString()), 1);
    const QStringList lines = output.mid(marker.size()).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_FALSE(lines.isEmpty());
    // Whole lines were dropped, and every kept line is there in order.
    const int first = lines.front().toInt();
    EXPECT_EQ(first + lines.size() - 1, lastNumber);
    EXPECT_EQ(lines[lines.size() / 2].toInt(), first + lines.size() / 2);
    return std::pair(output.mid(marker.size()), lines);
  };
  {
    // 8000 lines of 201 characters: the size limit holds first.
    SCOPED_TRACE("long lines");
    const auto [text, lines] = kept(QStringLiteral("seq -f %0200g 1 8000"), 8000);
    EXPECT_LE(text.size(), CommandPage::kOutputLimit);
    EXPECT_GT(text.size(), CommandPage::kOutputLimit - 202);
    EXPECT_EQ(lines.front().size(), 200);
  }
  {
    // 200000 short lines: the line limit holds first.
    SCOPED_TRACE("short lines");
    const auto [text, lines] = kept(QStringLiteral("seq 100000 299999"), 299999);
    EXPECT_LE(lines.size(), CommandPage::kOutputLineLimit);
    EXPECT_GE(lines.size(), CommandPage::kOutputLineLimit - 1);
    EXPECT_TRUE(text.endsWith(QStringLiteral("\n299998\n299999\n")));
  }
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

// A program that never stops writing, for 30 s.
TEST_F(CommandPageTest, YesForThirtySecondsKeepsThePageResponsiveAndSmallAndAborts) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the page's pauses and memory under AddressSanitizer are not the program's; "
                  "the debug build measures them";
#endif
  page_->resize(640, 480);
  page_->show();
  using Clock = std::chrono::steady_clock;
  Clock::time_point last = Clock::now();
  Clock::duration largestGap{};
  int beats = 0;
  QTimer beat;
  QObject::connect(&beat, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    largestGap = std::max(largestGap, now - last);
    last = now;
    ++beats;
  });
  beat.start(10);
  long largestKiB = 0;
  int largestBox = 0;
  page_->Run(QStringLiteral("yes"));
  const Clock::time_point end = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < end) {
    QTest::qWait(200);
    largestKiB = std::max(largestKiB, ResidentKiB());
    largestBox = std::max(largestBox, page_->outputBox().document()->characterCount() - 1);
  }
  std::printf("largest pause of the page's loop %lld ms, largest resident size %ld MiB\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(largestGap).count()),
              largestKiB / 1024);
  // The page takes the output in bounded pieces a turn (the runner's tests
  // hold the bound), so the loop keeps turning under the flood. The largest
  // pause is only printed: one pause depends on what else the machine runs,
  // while a page that held the loop would turn a few times in 30 s, not the
  // 300 that a turn every 100 ms on average gives.
  EXPECT_GE(beats, 300);
  EXPECT_GT(largestKiB, 0);
  EXPECT_LT(largestKiB, 150 * 1024);
  EXPECT_LE(largestBox, CommandPage::kOutputLimit +
                            static_cast<int>(CommandPage::kOutputTrimmedMarker.size()) + 1);
  EXPECT_TRUE(Output().startsWith(CommandPage::kOutputTrimmedMarker.toString()));
  const Clock::time_point abort = Clock::now();
  page_->abortButton().click();
  ASSERT_TRUE(QTest::qWaitFor([this] { return !page_->IsRunning(); }, 2000));
  EXPECT_LT(Clock::now() - abort, std::chrono::milliseconds(200));
  ASSERT_TRUE(WaitForIdle());
  // The killed program's last write may end inside a line.
  const QString output = Output();
  EXPECT_TRUE(output.endsWith(QStringLiteral("y\n\n中止されました\n")) ||
              output.endsWith(QStringLiteral("y\n中止されました\n")))
      << output.right(40).toStdString();
}

TEST_F(CommandPageTest, NewEditAndDeleteChangeTheListAndMarkTheSettings) {
  const std::size_t factoryCount = engine_.settings().commands.size();
  ASSERT_TRUE(engine_.settingsSaved());
  auto editWith = [this](QString name, QString line) {
    page_->SetEditorFactory([this, name, line](QWidget* parent) {
      return std::make_unique<ScriptedEditor>(dialogs_, name, line, parent);
    });
  };

  editWith(QStringLiteral("who"), QStringLiteral("who -a"));
  page_->newButton().click();
  ASSERT_EQ(page_->commandList().model()->rowCount(), static_cast<int>(factoryCount) + 1);
  EXPECT_EQ(engine_.settings().commands[factoryCount].Name, "who");
  EXPECT_FALSE(engine_.settingsSaved());

  page_->commandList().setCurrentIndex(page_->commandList().model()->index(0, 0));
  editWith(QStringLiteral("ping4"), QStringLiteral("ping -4 %RemoteAddr%"));
  page_->editButton().click();
  EXPECT_EQ(engine_.settings().commands[0].Name, "ping4");
  EXPECT_EQ(page_->commandList().currentIndex().row(), 0);
  EXPECT_EQ(page_->commandLineEdit().text(), QStringLiteral("ping -4 %RemoteAddr%"));

  page_->deleteButton().click();
  EXPECT_EQ(engine_.settings().commands.size(), factoryCount);
  EXPECT_NE(engine_.settings().commands[0].Name, "ping4");
}

// On the list, the keys run the buttons' commands.
TEST_F(CommandPageTest, KeysOnTheListRunNewEditAndDelete) {
  const std::size_t factoryCount = engine_.settings().commands.size();
  page_->show();
  page_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(page_.get()));
  QListView& list = page_->commandList();
  list.setFocus();
  page_->SetEditorFactory([this](QWidget* parent) {
    return std::make_unique<ScriptedEditor>(dialogs_, QStringLiteral("who"),
                                            QStringLiteral("who -a"), parent);
  });
  QTest::keyClick(&list, Qt::Key_N, Qt::ControlModifier);
  ASSERT_EQ(engine_.settings().commands.size(), factoryCount + 1);

  list.setCurrentIndex(list.model()->index(0, 0));
  QTest::keyClick(&list, Qt::Key_Return);
  EXPECT_EQ(engine_.settings().commands[0].Name, "who");
  QTest::keyClick(&list, Qt::Key_Delete);
  EXPECT_EQ(engine_.settings().commands.size(), factoryCount);
}

}  // namespace
}  // namespace harlune
