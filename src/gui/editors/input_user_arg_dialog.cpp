#include "gui/editors/input_user_arg_dialog.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

namespace harlune {

CInputUserArgDlg::CInputUserArgDlg(QWidget* parent)
    : QDialog(parent), prompt_(new QLabel), value_(new QLineEdit) {
  setWindowTitle(QString::fromUtf8(kInputUserArgTitle));
  prompt_->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt_);
  layout->addWidget(value_);
  layout->addWidget(buttons);
  value_->setFocus();
}

}  // namespace harlune
