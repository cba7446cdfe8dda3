#pragma once

// CEditHtbClassDlg: "HTBクラスの編集", the editor of one HTB class. The opener
// loads a class (or the defaults of a new one), runs the dialog and on OK
// stores the fields back. OK checks the fields in a fixed order; the first
// failing check tells the user why, focuses its field and keeps the dialog
// open.

#include <QDialog>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/user_dialogs.h"
#include "core/filter/packet_filter_manager.h"
#include "core/htb/htb_class.h"

class QButtonGroup;
class QLineEdit;
class QListWidget;
class QRadioButton;

namespace harlune {

inline constexpr std::string_view kEditHtbClassTitle = "HTBクラスの編集";
inline constexpr std::string_view kPositiveIntegerText = "正の整数を入力してください。";
// The largest rate in KB/s whose value in bytes/s still fits the class.
inline constexpr std::uint32_t kMaxClassRateKb = 0xFFFFFFFFU / 1024U;
inline constexpr std::uint32_t kMaxClassPercentage = 100;
inline constexpr std::uint32_t kDefaultEditorPriority = 5;
// The class name and comment go to HtbSetting.xml (Shift_JIS); a text that
// file cannot hold would be lost on the next start.
inline constexpr std::string_view kClassNameUnstorableMessage =
    "クラス名に保存できない文字が含まれています。";
inline constexpr std::string_view kClassCommentUnstorableMessage =
    "コメントに保存できない文字が含まれています。";

// "%1 から %2 までの整数を入力してください。" with the two bounds.
std::string IntegerRangeText(std::uint32_t low, std::uint32_t high);

class CEditHtbClassDlg : public QDialog {
  Q_OBJECT

 public:
  // `filters` gives the target list its names, in list order.
  CEditHtbClassDlg(const PacketFilterManager& filters, UserDialogs& dialogs,
                   QWidget* parent = nullptr);

  // A new class: the editor's defaults; the user chooses the kind.
  void LoadNew();
  // An existing class with its kind fixed; a class without a parent is a
  // root, of which only the ceiling and the comment can be changed.
  void LoadFrom(const HTB_Class& cls);

  // The kind the dialog holds.
  bool IsLeaf() const;

  // Copies the fields into the class. Refused (false, the class unchanged)
  // when the class is not of the dialog's kind.
  bool StoreTo(HTB_Class& cls) const;

  // OK: the checks, in order; the dialog closes only when all pass.
  void accept() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The fields as the checks on OK accepted them.
  struct Values {
    std::string name{kNewClassName};
    std::string comment;
    std::uint32_t ceilKb = 0;
    std::uint32_t assuredKb = 0;
    std::uint32_t ceilPercentage = 0;
    std::uint32_t assuredPercentage = 0;
    std::int32_t ceilOrder = 0;
    std::int32_t assuredOrder = 0;
    std::uint32_t priority = kDefaultEditorPriority;
    std::int32_t filterId = -1;
    std::int32_t availableType = kAvailableWhileConnected;
  };

  void BuildWidgets();
  QWidget* BuildRateRow(const QString& name, QRadioButton*& kbRadio, QRadioButton*& percentRadio,
                        QLineEdit*& kbEdit, QWidget*& kbSpin, QLineEdit*& percentEdit,
                        QWidget*& percentSpin, std::uint32_t percentMaximum);
  void FillFilterList();
  void ShowValues(const Values& values, bool leaf);
  void UpdateEnabled();
  void OnUnitChanged(QLineEdit* kbEdit, QLineEdit* percentEdit);
  void OnFilterClicked(std::int32_t filterId);
  std::int32_t SelectedFilterId() const;

  // Reads an unsigned number no greater than `maximum` from the box;
  // on failure shows the message and focuses the box.
  std::optional<std::uint32_t> Unsigned(QLineEdit* box, std::uint32_t maximum);
  // The same for a rate box of the chosen unit; a box of the other unit
  // gives `loaded` unchecked.
  std::optional<std::uint32_t> UnsignedInUse(QLineEdit* box, bool inUse, std::uint32_t loaded,
                                             std::uint32_t maximum);
  // The KB/s rates with the assured-not-above-ceiling check, then the
  // percentages; each false after refusing.
  bool ReadKbRates(Values& values);
  bool ReadPercentages(Values& values);
  void Refuse(QLineEdit* box, std::string_view message);
  // Refuses a name or comment HtbSetting.xml could not hold.
  bool TextsStorable(const Values& values);

  const PacketFilterManager& filters_;
  UserDialogs& dialogs_;
  Values values_;
  bool existing_ = false;
  bool root_ = false;
  std::int32_t targetBeforePress_ = -1;

  QLineEdit* nameEdit_ = nullptr;
  QLineEdit* commentEdit_ = nullptr;
  QRadioButton* innerRadio_ = nullptr;
  QRadioButton* leafRadio_ = nullptr;
  QButtonGroup* availableGroup_ = nullptr;
  QRadioButton* ceilKbRadio_ = nullptr;
  QRadioButton* ceilPercentRadio_ = nullptr;
  QLineEdit* ceilKbEdit_ = nullptr;
  QWidget* ceilKbSpin_ = nullptr;
  QLineEdit* ceilPercentEdit_ = nullptr;
  QWidget* ceilPercentSpin_ = nullptr;
  QRadioButton* assuredKbRadio_ = nullptr;
  QRadioButton* assuredPercentRadio_ = nullptr;
  QLineEdit* assuredKbEdit_ = nullptr;
  QWidget* assuredKbSpin_ = nullptr;
  QLineEdit* assuredPercentEdit_ = nullptr;
  QWidget* assuredPercentSpin_ = nullptr;
  QLineEdit* priorityEdit_ = nullptr;
  QWidget* prioritySpin_ = nullptr;
  QListWidget* filterList_ = nullptr;
};

}  // namespace harlune
