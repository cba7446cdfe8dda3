#include "gui/app/single_instance.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace harlune {
namespace {

QString UniqueName() {
  return QStringLiteral("harlune-test-%1-%2")
      .arg(QCoreApplication::applicationPid())
      .arg(QRandomGenerator::global()->generate());
}

TEST(SingleInstanceTest, ASecondStartAsksTheFirstToShowItsWindow) {
  testing::TempDir folder;
  const QString name = UniqueName();
  SingleInstance first(folder.path(), name);
  ASSERT_EQ(first.Claim(), SingleInstance::Role::kFirst);
  QSignalSpy shown(&first, &SingleInstance::showRequested);

  SingleInstance second(folder.path(), name);
  EXPECT_EQ(second.Claim(), SingleInstance::Role::kForwarded);
  EXPECT_TRUE(shown.wait(2000));
}

TEST(SingleInstanceTest, AStartWhileTheFirstIsStoppingIsToldToWait) {
  testing::TempDir folder;
  const QString name = UniqueName();
  SingleInstance first(folder.path(), name);
  ASSERT_EQ(first.Claim(), SingleInstance::Role::kFirst);
  first.StopListening();  // the close procedure has begun; the folder stays locked

  SingleInstance second(folder.path(), name);
  EXPECT_EQ(second.Claim(), SingleInstance::Role::kStillStopping);
}

TEST(SingleInstanceTest, ASocketLeftByADeadProcessIsTakenOver) {
  testing::TempDir folder;
  const QString name = UniqueName();
  {
    QLocalServer stale;
    ASSERT_TRUE(stale.listen(name));
    // Leave the socket file behind as a killed process would.
    stale.setSocketOptions(QLocalServer::NoOptions);
  }
  SingleInstance instance(folder.path(), name);
  EXPECT_EQ(instance.Claim(), SingleInstance::Role::kFirst);
}

}  // namespace
}  // namespace harlune
