#pragma once

// CAboutDlg: the about box with the program's version and a link to the
// maker's web site.

#include <QDialog>
#include <string_view>

class QPushButton;

namespace harlune {

inline constexpr std::string_view kAboutVersionText = "Harlune Version 2.0.0 Beta 8";
// The maker's web page, also opened by the help menu.
inline constexpr std::string_view kMakerWebPage = "https://harlune.example.org/";
inline constexpr std::string_view kAboutWebSiteToolTip = "Goto Harlune web site";

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  QPushButton* webSiteButton() const { return webSite_; }

 private:
  QPushButton* webSite_;
};

}  // namespace harlune
