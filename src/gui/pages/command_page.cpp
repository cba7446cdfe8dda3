#include "gui/pages/command_page.h"

#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QMetaObject>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "gui/base/qt_text.h"
#include "gui/widgets/list_shortcuts.h"

namespace harlune {

// Hands the runner's calls, which come from its worker too, to the page's
// thread as queued calls: the worker never waits for that thread and never
// touches a widget. Output comes in batches: while one is queued, more text
// joins it, so a flood costs one queued call and one append per turn of the
// page's loop, whatever the size of the runner's reads. Any other call ends
// the batch, so the page sees everything in the order it was sent. Calls
// queued for a page that is gone are dropped.
class CommandPage::OutputSink final : public CommandOutputSink {
 public:
  explicit OutputSink(CommandPage& page) : page_(page) {}

  void SetOutput(std::string_view text) override {
    Post([text = ToQString(text)](CommandPage& page) { page.SetOutput(text); });
  }
  void AppendOutput(std::string_view text) override {
    const std::lock_guard lock(mutex_);
    if (open_) {
      open_->text += text;
      return;
    }
    open_ = std::make_shared<Batch>();
    open_->text = text;
    PostLocked([this, batch = open_](CommandPage& page) {
      std::string taken;
      {
        const std::lock_guard held(mutex_);
        taken = std::move(batch->text);
        if (open_ == batch) {
          open_.reset();
        }
      }
      page.AppendOutput(ToQString(taken));
      page.runner_->OutputTaken(taken.size());
    });
  }
  void SetCommandLine(std::string_view text) override {
    Post([text = ToQString(text)](CommandPage& page) { page.commandLine_->setText(text); });
  }
  void ShowOutputStart() override {
    Post([](CommandPage& page) { page.ShowOutputStart(); });
  }
  void SetRunning(bool running) override {
    Post([running](CommandPage& page) { page.ShowRunning(running); });
  }

 private:
  struct Batch {
    std::string text;
  };

  template <typename Call>
  void Post(Call call) {
    const std::lock_guard lock(mutex_);
    open_.reset();  // later output comes after this call
    PostLocked(std::move(call));
  }

  template <typename Call>
  void PostLocked(Call call) {
    CommandPage* page = &page_;
    QMetaObject::invokeMethod(
        page, [page, call = std::move(call)] { call(*page); }, Qt::QueuedConnection);
  }

  CommandPage& page_;
  std::mutex mutex_;
  std::shared_ptr<Batch> open_;  // the queued batch more output may join
};

// The runner asks the open macros on the page's thread, before the worker
// starts.
class CommandPage::UserArgPrompt final : public CommandPrompt {
 public:
  explicit UserArgPrompt(CommandPage& page) : page_(page) {}

  std::optional<std::string> AskValue(std::string_view prompt) override {
    const std::optional<QString> value = page_.AskValue(ToQString(prompt));
    if (!value) {
      return std::nullopt;
    }
    return ToUtf8(*value);
  }

 private:
  CommandPage& page_;
};

CommandPage::CommandPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      dialogs_(dialogs),
      engine_(engine),
      commands_(engine.settings().commands),
      model_(engine.settings().commands),
      promptFactory_([](QWidget* owner) { return std::make_unique<CInputUserArgDlg>(owner); }),
      editorFactory_([this](QWidget* owner) {
        return std::make_unique<CEditExternalCommand>(dialogs_, owner);
      }),
      sink_(std::make_unique<OutputSink>(*this)),
      prompt_(std::make_unique<UserArgPrompt>(*this)),
      runner_(std::make_unique<CommandRunner>(launcher_, *sink_, *prompt_, dialogs)) {
  BuildControls();
}

CommandPage::~CommandPage() { CloseAndWait(); }

void CommandPage::BuildControls() {
  list_ = new QListView;
  list_->setModel(&model_);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setFixedWidth(135);
  commandLine_ = new QLineEdit;
  output_ = new QPlainTextEdit;
  output_->setReadOnly(true);
  output_->setUndoRedoEnabled(false);
  output_->setLineWrapMode(QPlainTextEdit::NoWrap);
  newButton_ = new QPushButton(QStringLiteral("新規作成..."));
  editButton_ = new QPushButton(QStringLiteral("編集..."));
  deleteButton_ = new QPushButton(QStringLiteral("削除"));
  runButton_ = new QPushButton(QStringLiteral("実行"));
  abortButton_ = new QPushButton(QStringLiteral("中止"));
  abortButton_->setEnabled(false);

  auto* buttons = new QHBoxLayout;
  for (QPushButton* button : {newButton_, editButton_, deleteButton_}) {
    buttons->addWidget(button);
  }
  buttons->addStretch(1);
  buttons->addWidget(runButton_);
  buttons->addWidget(abortButton_);
  auto* right = new QVBoxLayout;
  right->addWidget(commandLine_);
  right->addWidget(output_, 1);
  auto* body = new QHBoxLayout;
  body->addWidget(list_);
  body->addLayout(right, 1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(5, 5, 5, 3);
  layout->addLayout(buttons);
  layout->addLayout(body, 1);

  connect(newButton_, &QPushButton::clicked, this, &CommandPage::NewCommand);
  connect(editButton_, &QPushButton::clicked, this, &CommandPage::EditCommand);
  connect(deleteButton_, &QPushButton::clicked, this, &CommandPage::DeleteCommand);
  connect(runButton_, &QPushButton::clicked, this, &CommandPage::Execute);
  connect(abortButton_, &QPushButton::clicked, this, &CommandPage::Abort);
  connect(list_, &QListView::doubleClicked, this, &CommandPage::Execute);
  // On the list only: Enter in the command line runs what is typed there.
  AddListShortcuts(*list_, {[this] { NewCommand(); }, [this] { EditCommand(); },
                            [this] { DeleteCommand(); }, [this] { Redraw(); }});
  AddCopyAndSelectAll(*list_);
  connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (const std::optional<std::size_t> index = SelectedCommand()) {
      commandLine_->setText(ToQString(commands_[*index].CommandLine));
    }
  });
}

void CommandPage::Redraw() { model_.Refresh(); }

void CommandPage::CloseAndWait() { runner_->CloseAndWait(); }

void CommandPage::Run(QString commandLine) { runner_->RunCommand(ToUtf8(commandLine)); }

void CommandPage::RunTemplate(CommandTemplate command) { runner_->RunCommand(std::move(command)); }

void CommandPage::Execute() { Run(commandLine_->text()); }

void CommandPage::Abort() { runner_->Abort(); }

std::optional<std::size_t> CommandPage::SelectedCommand() const {
  const QModelIndexList selected = list_->selectionModel()->selectedIndexes();
  return selected.isEmpty() ? std::nullopt : model_.CommandAt(selected.front());
}

void CommandPage::SelectCommand(std::size_t index) {
  list_->setCurrentIndex(model_.index(static_cast<int>(index)));
}

bool CommandPage::EditWithDialog(ExternalCommand& command) {
  const std::unique_ptr<CEditExternalCommand> editor = editorFactory_(this);
  editor->LoadFrom(command);
  if (editor->exec() != QDialog::Accepted) {
    return false;
  }
  editor->StoreTo(command);
  return true;
}

void CommandPage::NewCommand() {
  ExternalCommand command;
  if (!EditWithDialog(command)) {
    return;
  }
  commands_.Add(command);
  model_.Refresh();
  engine_.MarkChanged();
}

void CommandPage::EditCommand() {
  const std::optional<std::size_t> index = SelectedCommand();
  if (!index) {
    return;
  }
  ExternalCommand command = commands_[*index];
  if (!EditWithDialog(command)) {
    return;
  }
  commands_.ReplaceAt(*index, command);
  model_.Refresh();
  engine_.MarkChanged();
  SelectCommand(*index);
}

void CommandPage::DeleteCommand() {
  const std::optional<std::size_t> index = SelectedCommand();
  if (!index) {
    return;
  }
  commands_.RemoveAt(*index);
  model_.Refresh();
  engine_.MarkChanged();
}

std::optional<QString> CommandPage::AskValue(const QString& prompt) {
  const std::unique_ptr<CInputUserArgDlg> dialog = promptFactory_(this);
  dialog->SetPrompt(prompt);
  if (dialog->exec() != QDialog::Accepted) {
    return std::nullopt;
  }
  return dialog->Value();
}

QString CommandPage::NormaliseLineEnds(const QString& text) {
  QString lines;
  lines.reserve(text.size() + 1);
  for (const QChar ch : text) {
    if (std::exchange(pendingCarriageReturn_, false)) {
      lines += u'\n';
      if (ch == u'\n') {
        continue;
      }
    }
    if (ch == u'\r') {
      pendingCarriageReturn_ = true;
      continue;
    }
    lines += ch;
  }
  return lines;
}

void CommandPage::SetOutput(const QString& text) {
  pendingCarriageReturn_ = false;
  outputTrimmed_ = false;
  output_->setPlainText(NormaliseLineEnds(text));
}

void CommandPage::TrimOutput() {
  QTextDocument& document = *output_->document();
  // characterCount counts the final paragraph separator too.
  const int marker = outputTrimmed_ ? static_cast<int>(kOutputTrimmedMarker.size()) + 1 : 0;
  int excess = document.characterCount() - 1 - marker - kOutputLimit;
  // Each line is a block of the text widget, which costs far more than its
  // text: a flood of short lines is held to a number of lines too.
  const int markerLines = outputTrimmed_ ? 1 : 0;
  const int extraLines = document.blockCount() - markerLines - kOutputLineLimit;
  if (extraLines > 0) {
    excess =
        std::max(excess, document.findBlockByNumber(markerLines + extraLines).position() - marker);
  }
  if (excess <= 0) {
    return;
  }
  // Whole lines from the start; a single line longer than the limit loses
  // its start.
  QTextBlock block = document.findBlock(marker + excess);
  int end = block.position();
  if (end < marker + excess) {
    end = block.next().isValid() ? block.next().position() : marker + excess;
  }
  QTextCursor cursor(&document);
  cursor.setPosition(marker);
  cursor.setPosition(end, QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
  if (!outputTrimmed_) {
    cursor.setPosition(0);
    cursor.insertText(kOutputTrimmedMarker.toString() + u'\n');
    outputTrimmed_ = true;
  }
}

void CommandPage::AppendOutput(const QString& text) {
  const QString lines = NormaliseLineEnds(text);
  if (lines.isEmpty()) {
    return;
  }
  // At the end, as if typed there, so that the box follows the output.
  output_->moveCursor(QTextCursor::End);
  output_->insertPlainText(lines);
  TrimOutput();
  output_->moveCursor(QTextCursor::End);
  output_->ensureCursorVisible();
}

void CommandPage::ShowOutputStart() {
  output_->moveCursor(QTextCursor::Start);
  output_->ensureCursorVisible();
}

void CommandPage::ShowRunning(bool running) {
  runButton_->setEnabled(!running);
  abortButton_->setEnabled(running);
}

}  // namespace harlune
