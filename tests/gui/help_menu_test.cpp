// The help menu's windows: the about box with the program's icon, and the
// installed README that "ReadMeを読む" opens.

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QUrl>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gui/app/application_icon.h"
#include "gui/app/read_me.h"
#include "gui/base/qt_text.h"
#include "gui/editors/about_dialog.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

QImage IconImage(const QIcon& icon) { return icon.pixmap(32, 32).toImage(); }

// Puts the application's icon back as the test found it.
class ApplicationIconTest : public ::testing::Test {
 protected:
  ~ApplicationIconTest() override { QGuiApplication::setWindowIcon(before_); }

  QIcon before_ = QGuiApplication::windowIcon();
};

TEST_F(ApplicationIconTest, TheAboutBoxAndEveryWindowShowTheProgramsIcon) {
  InstallApplicationIcon();
  const QImage expected = IconImage(ApplicationIcon());
  ASSERT_FALSE(expected.isNull());
  EXPECT_EQ(IconImage(QGuiApplication::windowIcon()), expected);

  CAboutDlg about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("バージョン情報"));
  EXPECT_EQ(IconImage(about.windowIcon()), expected);
  std::vector<QImage> pictures;
  for (const QLabel* label : about.findChildren<QLabel*>()) {
    if (!label->pixmap().isNull()) {
      pictures.push_back(label->pixmap().toImage());
    }
  }
  EXPECT_THAT(pictures, ElementsAre(expected));
  QWidget other;
  EXPECT_EQ(IconImage(other.windowIcon()), expected);
}

class ReadMeTest : public ::testing::Test {
 protected:
  QString Folder() const { return QString::fromStdString(folder_.path().string()); }
  QString ReadMePath() const { return QDir(Folder()).filePath(QStringLiteral("README.md")); }

  bool Open(bool desktopOpens) {
    return OpenReadMe(Folder(), dialogs_, [this, desktopOpens](const QUrl& url) {
      opened_.push_back(url);
      return desktopOpens;
    });
  }

  testing::TempDir folder_;
  RecordingUserDialogs dialogs_;
  std::vector<QUrl> opened_;
};

TEST_F(ReadMeTest, TheInstalledReadMeIsOpenedAsALocalFile) {
  testing::WriteFileText(folder_.path() / "README.md", "# Harlune\n");
  EXPECT_TRUE(Open(true));
  EXPECT_THAT(opened_, ElementsAre(QUrl::fromLocalFile(ReadMePath())));
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(ReadMeTest, AMissingReadMeOrADesktopThatCannotOpenItSaysWhereTheDocumentationIs) {
  EXPECT_FALSE(Open(true));
  EXPECT_THAT(opened_, IsEmpty());
  EXPECT_THAT(dialogs_.messages,
              ElementsAre(ToUtf8(QStringLiteral("ReadMeが見つかりません：") + ReadMePath())));

  dialogs_.messages.clear();
  testing::WriteFileText(folder_.path() / "README.md", "# Harlune\n");
  EXPECT_FALSE(Open(false));
  EXPECT_EQ(opened_.size(), 1U);
  EXPECT_THAT(dialogs_.messages,
              ElementsAre(ToUtf8(QStringLiteral("ReadMeを開けませんでした。ドキュメントは ") +
                                 Folder() + QStringLiteral(" にあります。"))));
}

TEST(InstalledDocumentationFolderTest, IsTheDocFolderBesideTheProgramsFolder) {
  const QString folder = InstalledDocumentationFolder();
  const QString programs = QDir(QCoreApplication::applicationDirPath()).absolutePath();
  EXPECT_TRUE(QDir::isAbsolutePath(folder));
  EXPECT_TRUE(folder.endsWith(QStringLiteral("/share/doc/Harlune"))) << folder.toStdString();
  EXPECT_EQ(folder, QDir::cleanPath(programs + QStringLiteral("/../share/doc/Harlune")));
}

}  // namespace
}  // namespace harlune
