#pragma once

// One harlune per user and settings folder. The first start listens on a
// local socket named after the instance name; a second start asks it to show
// its window and ends. While the first is shutting down (its socket closed,
// its settings folder still locked) a second start is told to wait.

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <filesystem>
#include <memory>

#include "platform/linux/settings_folder.h"

namespace harlune {

inline constexpr std::string_view kStillStoppingMessage =
    "前回のプロセスを停止中です。少し待った後、再度起動させてください。";

class SingleInstance final : public QObject {
  Q_OBJECT

 public:
  enum class Role {
    kFirst,          // this process runs the program
    kForwarded,      // the running one was asked to show its window
    kStillStopping,  // the previous one is shutting down
    kFailed,         // neither: Problem() tells why
  };

  // `serverName` defaults to the instance name with the user id.
  SingleInstance(const std::filesystem::path& settingsFolder, QString serverName = {});
  ~SingleInstance() override;

  Role Claim();
  const QString& Problem() const { return problem_; }
  // Stops answering later starts (the close procedure has begun).
  void StopListening();

 signals:
  // A later start asked for the window.
  void showRequested();

 private:
  std::filesystem::path folder_;
  QString name_;
  QString problem_;
  std::unique_ptr<SettingsFolderLock> lock_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace harlune
