#include "gui/editors/process_file_dialog.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QStandardItemModel>
#include <QTest>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gui/base/qt_text.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

// A folder holding a program, a plain file and a sub-folder, listed in a
// model the way the file dialog's model gives them, plus a row with no path.
class ExecutableFilesProxyTest : public ::testing::Test {
 protected:
  ExecutableFilesProxyTest() {
    AddFile("tool", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    AddFile("notes.txt", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory(folder_.path() / "bin");
    AddRow("bin");
    source_.appendRow(new QStandardItem(QStringLiteral("drive")));
    proxy_.setSourceModel(&source_);
  }

  void AddFile(const std::string& name, fs::perms permissions) {
    testing::WriteFileText(folder_.path() / name, "#!/bin/sh\n");
    fs::permissions(folder_.path() / name, permissions);
    AddRow(name);
  }
  void AddRow(const std::string& name) {
    auto* item = new QStandardItem(ToQString(name));
    item->setData(ToQString((folder_.path() / name).string()), QFileSystemModel::FilePathRole);
    source_.appendRow(item);
  }
  std::vector<std::string> Shown() const {
    std::vector<std::string> names;
    for (int row = 0; row < proxy_.rowCount(); ++row) {
      names.push_back(ToUtf8(proxy_.index(row, 0).data().toString()));
    }
    return names;
  }

  testing::TempDir folder_;
  QStandardItemModel source_;
  ExecutableFilesProxy proxy_;
};

TEST_F(ExecutableFilesProxyTest, ShowsProgramsAndFoldersUntilAllFilesAreAskedFor) {
  EXPECT_TRUE(proxy_.executablesOnly());
  EXPECT_THAT(Shown(), ElementsAre("tool", "bin", "drive"));
  proxy_.SetExecutablesOnly(false);
  EXPECT_THAT(Shown(), ElementsAre("tool", "notes.txt", "bin", "drive"));
  proxy_.SetExecutablesOnly(true);
  EXPECT_THAT(Shown(), ElementsAre("tool", "bin", "drive"));
}

TEST_F(ExecutableFilesProxyTest, FollowsAPermissionChangeOnTheNextFiltering) {
  fs::permissions(folder_.path() / "notes.txt", fs::perms::owner_exec, fs::perm_options::add);
  proxy_.SetExecutablesOnly(false);
  proxy_.SetExecutablesOnly(true);
  EXPECT_THAT(Shown(), ElementsAre("tool", "notes.txt", "bin", "drive"));
}

TEST(ProcessFileDialogTest, OffersExecutablesFirstAndAllFilesSecond) {
  QFileDialog dialog;
  ConfigureProcessFileDialog(dialog);
  EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_TRUE(dialog.testOption(QFileDialog::DontUseNativeDialog));
  EXPECT_EQ(dialog.nameFilters(),
            QStringList({ToQString("実行ファイル (*)"), ToQString("全てのファイル (*)")}));
  auto* proxy = qobject_cast<ExecutableFilesProxy*>(dialog.proxyModel());
  ASSERT_NE(proxy, nullptr);
  EXPECT_TRUE(proxy->executablesOnly());

  // The user picks the second choice in the file type box, then the first.
  auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
  ASSERT_NE(types, nullptr);
  ASSERT_EQ(types->count(), 2);
  EXPECT_EQ(types->itemText(0), ToQString("実行ファイル"));
  EXPECT_EQ(types->itemText(1), ToQString("全てのファイル"));
  ASSERT_EQ(types->currentIndex(), 0);
  QTest::keyClick(types, Qt::Key_Down);
  EXPECT_EQ(types->currentIndex(), 1);
  EXPECT_FALSE(proxy->executablesOnly());
  QTest::keyClick(types, Qt::Key_Up);
  EXPECT_TRUE(proxy->executablesOnly());
}

}  // namespace
}  // namespace harlune
