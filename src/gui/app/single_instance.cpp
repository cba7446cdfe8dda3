#include "gui/app/single_instance.h"

#include <unistd.h>

#include <QLocalSocket>

namespace harlune {
namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr char kShowRequest[] = "show\n";

QString DefaultServerName() { return QStringLiteral("Harlune2 Beta-%1").arg(::getuid()); }

}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& settingsFolder, QString serverName)
    : folder_(settingsFolder), name_(serverName.isEmpty() ? DefaultServerName() : serverName) {}

SingleInstance::~SingleInstance() = default;

SingleInstance::Role SingleInstance::Claim() {
  QLocalSocket running;
  running.connectToServer(name_);
  if (running.waitForConnected(kConnectTimeoutMs)) {
    running.write(kShowRequest);
    running.waitForBytesWritten(kConnectTimeoutMs);
    running.disconnectFromServer();
    return Role::kForwarded;
  }
  lock_ = std::make_unique<SettingsFolderLock>(folder_);
  if (!lock_->Held()) {
    return Role::kStillStopping;
  }
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name_)) {
    // A socket file left by a process that died: nobody answered above.
    QLocalServer::removeServer(name_);
    if (!server_->listen(name_)) {
      problem_ = server_->errorString();
      return Role::kFailed;
    }
  }
  connect(server_.get(), &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      emit showRequested();
    }
  });
  return Role::kFirst;
}

void SingleInstance::StopListening() {
  if (server_ != nullptr) {
    server_->close();
  }
}

}  // namespace harlune
