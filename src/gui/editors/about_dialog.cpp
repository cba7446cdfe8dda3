#include "gui/editors/about_dialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QUrl>

#include "gui/base/qt_text.h"

namespace harlune {
namespace {

constexpr int kIconSize = 32;

QIcon ProgramIcon(const QWidget& widget) {
  const QIcon icon = QApplication::windowIcon();
  return icon.isNull() ? widget.style()->standardIcon(QStyle::SP_ComputerIcon) : icon;
}

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent), webSite_(new QPushButton(ToQString(kMakerWebPage))) {
  setWindowTitle(QStringLiteral("バージョン情報"));
  auto* icon = new QLabel;
  icon->setPixmap(ProgramIcon(*this).pixmap(kIconSize, kIconSize));

  webSite_->setFlat(true);
  webSite_->setCursor(Qt::PointingHandCursor);
  webSite_->setStyleSheet(QStringLiteral("color: palette(link); text-decoration: underline;"));
  webSite_->setToolTip(ToQString(kAboutWebSiteToolTip));
  connect(webSite_, &QPushButton::clicked, this,
          [] { QDesktopServices::openUrl(QUrl(ToQString(kMakerWebPage))); });

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &CAboutDlg::accept);

  auto* layout = new QGridLayout(this);
  layout->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
  layout->addWidget(new QLabel(ToQString(kAboutVersionText)), 0, 1);
  layout->addWidget(webSite_, 1, 1, Qt::AlignLeft);
  layout->addWidget(buttons, 2, 0, 1, 2);
}

}  // namespace harlune
