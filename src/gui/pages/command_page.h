#pragma once

// CommandPage: the external command page (CTabExternalCommand). The list of
// commands with new, edit and delete, the command line to run, and the
// output box that follows a running command's output. Run is the one run
// operation of every page: it refuses while a command runs, asks the user
// for the macros still open (CInputUserArgDlg), and starts the command on
// the runner's worker, whose calls reach the widgets only as queued calls
// on this page's thread.

#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <QStringView>
#include <QWidget>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "core/app/harlune_engine.h"
#include "core/base/user_dialogs.h"
#include "core/command/command_runner.h"
#include "core/command/external_command_file.h"
#include "gui/base/command_template_metatype.h"
#include "gui/editors/edit_command_dialog.h"
#include "gui/editors/input_user_arg_dialog.h"
#include "gui/models/command_list_model.h"
#include "platform/linux/child_process.h"

namespace harlune {

class CommandPage final : public QWidget {
  Q_OBJECT

 public:
  // The output box keeps the newest kOutputLimit characters and at most
  // kOutputLineLimit lines of output; older lines give way to one marker
  // line at the top.
  static constexpr int kOutputLimit = 1024 * 1024;
  static constexpr int kOutputLineLimit = 20000;
  static constexpr QStringView kOutputTrimmedMarker = u"（古い出力を省略しました）";

  CommandPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent = nullptr);
  ~CommandPage() override;
  CommandPage(const CommandPage&) = delete;
  CommandPage& operator=(const CommandPage&) = delete;

  // Fills the list again from the commands (not a periodic job: the
  // commands change only here).
  void Redraw();

  // The window closes: a running command is ended, and this returns once
  // its worker has ended; the page shows nothing more of that run.
  void CloseAndWait();
  // From the start of a run until its worker has ended.
  bool IsRunning() const { return runner_->IsRunning(); }

  // Where the prompt for a macro and the command editor come from; tests
  // put in dialogs that answer from a script.
  using PromptFactory = std::function<std::unique_ptr<CInputUserArgDlg>(QWidget* parent)>;
  using EditorFactory = std::function<std::unique_ptr<CEditExternalCommand>(QWidget* parent)>;
  void SetPromptFactory(PromptFactory factory) { promptFactory_ = std::move(factory); }
  void SetEditorFactory(EditorFactory factory) { editorFactory_ = std::move(factory); }

  QListView& commandList() { return *list_; }
  QLineEdit& commandLineEdit() { return *commandLine_; }
  QPlainTextEdit& outputBox() { return *output_; }
  QPushButton& newButton() { return *newButton_; }
  QPushButton& editButton() { return *editButton_; }
  QPushButton& deleteButton() { return *deleteButton_; }
  QPushButton& runButton() { return *runButton_; }
  QPushButton& abortButton() { return *abortButton_; }

 public slots:
  // Runs a command line whose monitor macros are already filled.
  void Run(QString commandLine);
  // Runs a command another page prepared: its filled values stay one
  // argument each, whatever they hold.
  void RunTemplate(harlune::CommandTemplate command);
  // "実行" and a double click: runs the text of the command line box.
  void Execute();
  void Abort();
  void NewCommand();
  void EditCommand();
  void DeleteCommand();

 private:
  class OutputSink;
  class UserArgPrompt;

  void BuildControls();
  std::optional<std::size_t> SelectedCommand() const;
  void SelectCommand(std::size_t index);
  bool EditWithDialog(ExternalCommand& command);
  std::optional<QString> AskValue(const QString& prompt);

  // The output sink's calls, on this page's thread.
  void SetOutput(const QString& text);
  void AppendOutput(const QString& text);
  void ShowOutputStart();
  void ShowRunning(bool running);
  // CR LF and a lone CR end a line, also when a pair is split between two
  // outputs.
  QString NormaliseLineEnds(const QString& text);
  // Drops the oldest lines while the output is over its limit.
  void TrimOutput();

  UserDialogs& dialogs_;
  HarluneEngine& engine_;
  ExternalCommandIni& commands_;
  CommandListModel model_;
  PromptFactory promptFactory_;
  EditorFactory editorFactory_;

  QListView* list_ = nullptr;
  QLineEdit* commandLine_ = nullptr;
  QPlainTextEdit* output_ = nullptr;
  QPushButton* newButton_ = nullptr;
  QPushButton* editButton_ = nullptr;
  QPushButton* deleteButton_ = nullptr;
  QPushButton* runButton_ = nullptr;
  QPushButton* abortButton_ = nullptr;
  // A carriage return at the end of the last output, which may start a
  // CR LF pair that the next output ends.
  bool pendingCarriageReturn_ = false;
  // The first line is the marker of dropped output.
  bool outputTrimmed_ = false;

  SpawnChildProcessLauncher launcher_;
  std::unique_ptr<OutputSink> sink_;
  std::unique_ptr<UserArgPrompt> prompt_;
  // Last: it ends its worker before anything the worker uses goes.
  std::unique_ptr<CommandRunner> runner_;
};

}  // namespace harlune
