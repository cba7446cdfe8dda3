#pragma once

// CEditFilterDlg: the editor of one packet filter. The opener loads a
// record, runs the dialog and, after OK, stores the accepted values back
// into the record; adding the record to the list and loading it into the
// driver stay the opener's work. OK runs the checks in their fixed order:
// the first failing one tells the user, takes the focus to its field and
// keeps the dialog open.
//
// The families (both, IPv4, IPv6) follow the addresses until the user picks
// them: an IPv6 address makes a filter IPv6's alone, an IPv4 address or mask
// IPv4's alone, no address at all both. Only a pick that differs from what
// the addresses give is stored as a choice.

#include <QAbstractSpinBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QString>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/base/user_dialogs.h"
#include "core/filter/packet_filter_setting.h"
#include "core/monitor/adapter_table.h"
#include "gui/editors/process_file_dialog.h"

class QCheckBox;
class QComboBox;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace harlune {

inline constexpr std::string_view kFilterEditorNoAdapterMessage =
    "フィルタを編集するにはネットワークアダプタが一つ以上必要です。";
inline constexpr std::string_view kFilterEditorPortsFullMessage =
    "これ以上ポートを追加できません。";
inline constexpr std::string_view kFilterEditorPortRangeMessage =
    "ポート番号は0から65535までの値を指定してください。";
// A port is a number: letters would otherwise be read as port 0.
inline constexpr std::string_view kFilterEditorPortDigitsMessage =
    "ポート番号は数字で指定してください。";
inline constexpr std::string_view kFilterEditorPortListedMessage =
    "そのポート番号はすでにリストにあります。";
inline constexpr std::string_view kFilterEditorNoPortMessage =
    "自分または通信相手のポート番号が一つも指定されていません。";
inline constexpr std::string_view kFilterEditorUnsignedMessage = "正の整数を入力してください。";
inline constexpr std::string_view kFilterEditorIntegerMessage = "整数を入力してください。";
inline constexpr std::string_view kFilterEditorCommaMessage = "「,」は使えません";
inline constexpr std::string_view kFilterEditorIpv6AddressMessage =
    "IPv6アドレスが正しくありません。";
// A remote IPv4 address or mask that does not parse would otherwise be
// stored as 255.255.255.255.
inline constexpr std::string_view kFilterEditorIpv4AddressMessage =
    "IPアドレスが正しくありません。";
inline constexpr std::string_view kFilterEditorIpv4MaskMessage =
    "IPアドレスマスクが正しくありません。";
inline constexpr std::string_view kFilterEditorPrefixLengthMessage =
    "プレフィックス長は0から128までの値を指定してください。";
// PacketFilterSetting.xml is Shift_JIS; a typed text it cannot hold would
// be lost on the next start.
inline constexpr std::string_view kFilterNameUnstorableMessage =
    "フィルタ名に保存できない文字が含まれています。";
inline constexpr std::string_view kFilterCommentUnstorableMessage =
    "コメントに保存できない文字が含まれています。";
inline constexpr std::string_view kFilterProcessUnstorableMessage =
    "プロセス名に保存できない文字が含まれています。";

// "%1 から %2 までの整数を入力してください。" filled with the bounds.
std::string FilterEditorRangeMessage(std::int64_t minimum, std::int64_t maximum);

// The step an arrow of a spin control takes once it has been held `after`.
struct SpinAcceleration {
  std::chrono::milliseconds after{0};
  int step = 1;
};

// An edit with up and down arrows whose text stays free (the dialog checks
// it on OK). The arrows read the number in the text, step it within
// [minimum, maximum] and write it back; holding an arrow takes bigger steps
// as the acceleration table says.
class AcceleratedSpinEdit final : public QAbstractSpinBox {
  Q_OBJECT

 public:
  AcceleratedSpinEdit(int minimum, int maximum, std::vector<SpinAcceleration> acceleration,
                      QWidget* parent = nullptr);

  int minimum() const { return minimum_; }
  int maximum() const { return maximum_; }
  const std::vector<SpinAcceleration>& acceleration() const { return acceleration_; }
  void setText(const QString& text);

  // The step after the arrow has been held this long (1 before any entry).
  static int StepAfter(std::span<const SpinAcceleration> acceleration,
                       std::chrono::milliseconds held);

  void stepBy(int steps) override;

 protected:
  StepEnabled stepEnabled() const override;

 private:
  int minimum_;
  int maximum_;
  std::vector<SpinAcceleration> acceleration_;
  QElapsedTimer heldFor_;
  QElapsedTimer sinceLastStep_;
};

// An address box: a plain edit holding a dotted IPv4 address.
class CEditIPAddress final : public QLineEdit {
  Q_OBJECT

 public:
  using QLineEdit::QLineEdit;
  // The text as a network-order address; text that is not an address
  // reads as 255.255.255.255.
  std::uint32_t Address() const;
  // The text as a network-order address; nothing when it is not one.
  std::optional<std::uint32_t> TypedAddress() const;
  void SetAddress(std::uint32_t networkOrder);
};

class CEditFilterDlg final : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kMaxPortEntries = 16;
  static constexpr std::uint32_t kMaxRateKiB = 4194303;
  static constexpr std::int32_t kMaxPacketSize = 1500;

  // The dialog's controls, for the opener's tests.
  struct Controls {
    QLineEdit* name = nullptr;
    QLineEdit* comment = nullptr;
    QComboBox* adapter = nullptr;
    QRadioButton* tcp = nullptr;
    QRadioButton* udp = nullptr;
    QRadioButton* send = nullptr;
    QRadioButton* receive = nullptr;
    CEditIPAddress* localAddress = nullptr;
    CEditIPAddress* remoteAddress = nullptr;
    CEditIPAddress* remoteMask = nullptr;
    QCheckBox* allAddresses = nullptr;
    QComboBox* families = nullptr;   // item data: the protocol::AddressFamilies value
    QLineEdit* localIpv6 = nullptr;  // empty: any local IPv6 address
    QLineEdit* localIpv6Prefix = nullptr;
    QLineEdit* remoteIpv6 = nullptr;  // empty: any remote IPv6 address
    QLineEdit* remoteIpv6Prefix = nullptr;
    QLineEdit* localPort = nullptr;
    QPushButton* localAdd = nullptr;
    QPushButton* localDelete = nullptr;
    QListWidget* localList = nullptr;
    QCheckBox* localAllPorts = nullptr;
    QComboBox* remotePort = nullptr;
    QPushButton* remoteAdd = nullptr;
    QPushButton* remoteDelete = nullptr;
    QListWidget* remoteList = nullptr;
    QCheckBox* remoteAllPorts = nullptr;
    QLineEdit* process = nullptr;
    QPushButton* browse = nullptr;
    AcceleratedSpinEdit* rate = nullptr;
    AcceleratedSpinEdit* packetSize = nullptr;
    QCheckBox* unlimited = nullptr;
    QPushButton* ok = nullptr;
  };

  CEditFilterDlg(const AdapterTable& adapters, UserDialogs& dialogs, QWidget* parent = nullptr);

  // Fills the controls from the record; false (after telling the user)
  // when no adapter can be offered, and the dialog must not be shown.
  bool LoadFromSetting(bool isNew, const PacketFilterSetting& record);
  // Writes the values accepted by OK into the record; the record's other
  // members (Available, ID, run-time state) stay. Before an accepted OK it
  // changes nothing.
  void SaveToSetting(PacketFilterSetting& record) const;

  const Controls& controls() const { return controls_; }
  void SetProcessChooser(ProcessFileChooser chooser) { chooseProcess_ = std::move(chooser); }

 public slots:
  void accept() override;

 private:
  // What OK accepted, as the record will hold it.
  struct Values {
    std::string name;
    std::string comment;
    std::string appName;
    std::int32_t adapterIndex = -1;
    std::uint16_t protocol = 6;
    std::uint32_t mode = 0;
    std::uint32_t localAddress = 0;  // network order, as the next two
    std::uint32_t remoteAddress = 0;
    std::uint32_t remoteMask = 0;
    std::uint32_t rateKiB = 0;
    std::uint32_t packetSize = 0;
    bool localAllPorts = true;
    bool remoteAllPorts = true;
    std::vector<protocol::PortRange> localPorts;  // network order
    std::vector<protocol::PortRange> remotePorts;
    bool unlimited = false;
    protocol::AddressFamilies families = protocol::AddressFamilies::kBoth;
    bool familiesPicked = false;
    protocol::Ipv6Prefix localIpv6;  // length 0: any address
    protocol::Ipv6Prefix remoteIpv6;
  };

  void BuildControls();
  QWidget* BuildIdentity();
  QWidget* BuildKind();
  QWidget* BuildFamilies();
  QWidget* BuildLocalSide();
  QWidget* BuildRemoteSide();
  QWidget* BuildProcessAndRate();
  void Connect();

  void SelectAdapter(int comboIndex);
  void AddPort(QListWidget* list, const QString& typed, bool withServiceName);
  void UpdateEnabling();
  void AllAddressesClicked(bool checked);
  void LoadIpv6(const PacketFilterSetting& record);
  protocol::AddressFamilies ShownFamilies() const;
  void ShowFamilies(protocol::AddressFamilies families);
  // What the addresses typed so far give, while the user has not picked.
  protocol::AddressFamilies FamiliesOfAddresses() const;
  void FollowAddresses();
  void Browse();

  // A failed check: the message, the focus to the field; false.
  bool Refuse(std::string_view message, QWidget* field);
  bool ReadRate(Values& values);
  // The remote IPv4 address and mask, refused when an enabled box holds
  // text that is not an address.
  bool ReadRemoteIpv4(Values& values);
  bool ReadPacketSize(Values& values);
  bool CheckPortLists();
  // The IPv6 sides, checked only where the families take IPv6 in.
  bool ReadIpv6(Values& values);
  bool ReadIpv6Side(QLineEdit* addressBox, QLineEdit* prefixBox, protocol::Ipv6Prefix& side);
  bool ReadTexts(Values& values);
  // Refuses a typed text the settings file could not hold.
  bool TextsStorable(const Values& values);

  const AdapterTable& adapters_;
  UserDialogs& dialogs_;
  Controls controls_;
  std::int32_t adapterIndex_ = -1;
  // The user picked the families (or the record held a pick).
  bool familiesPicked_ = false;
  std::optional<Values> accepted_;
  ProcessFileChooser chooseProcess_ = ChooseProcessFile;
};

}  // namespace harlune
