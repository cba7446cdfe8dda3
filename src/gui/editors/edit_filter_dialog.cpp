#include "gui/editors/edit_filter_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <initializer_list>
#include <tuple>
#include <utility>

#include "core/base/c_decimal.h"
#include "core/base/string_resources.h"
#include "core/base/xml_text.h"
#include "core/monitor/connection_filter.h"
#include "core/monitor/service_names.h"
#include "gui/base/qt_text.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

using std::chrono::milliseconds;

constexpr std::uint32_t kHighestPort = 65535;
constexpr std::uint32_t kAllBits = 0xFFFFFFFFu;
constexpr std::string_view kSystemProcessName = "[System Process]";
constexpr std::string_view kBlanks = " \t\r\n\v\f";

// Held arrows: the rate speeds up every second, the packet size more slowly.
const std::vector<SpinAcceleration> kRateAcceleration = {{milliseconds(1000), 10},
                                                         {milliseconds(2000), 20},
                                                         {milliseconds(3000), 50},
                                                         {milliseconds(4000), 100}};
const std::vector<SpinAcceleration> kPacketSizeAcceleration = {
    {milliseconds(2000), 1}, {milliseconds(4000), 5}, {milliseconds(6000), 10}};
// Arrow steps further apart than this belong to separate presses.
constexpr qint64 kHoldGapMs = 600;

constexpr std::array<std::string_view, 14> kRemotePortPresets = {
    "20 (ftp-data)", "21 (ftp-control)", "20-21 (ftp)", "22 (ssh)",   "23 (telnet)",
    "25 (smtp)",     "53 (domain)",      "80 (http)",   "110 (pop3)", "119 (nntp)",
    "123 (ntp)",     "194 (irc)",        "443 (https)", "1863 (msnp)"};

// A port entry as its text gives it, host order; an end above 65535 marks
// a text the user must correct.
struct PortTextRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  bool InRange() const { return last <= kHighestPort; }
  bool operator==(const PortTextRange&) const = default;
};

// The text's leading decimal number (no digits read as 0), held just above
// the highest port so that longer numbers cannot wrap into range.
std::uint32_t LeadingNumber(std::string_view text) {
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      break;
    }
    value = std::min(value * 10 + static_cast<std::uint32_t>(c - '0'), kHighestPort + 1);
  }
  return value;
}

// "80", "0-1023", "80 (http)", "20-21 (ftp)" or "All" as a port range.
PortTextRange ReadPortText(std::string_view text) {
  text = text.substr(0, text.find_first_of(" ("));
  if (text == "All") {
    return {};
  }
  PortTextRange range;
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) {
    range.first = range.last = LeadingNumber(text);
  } else {
    range.first = LeadingNumber(text.substr(0, dash));
    range.last = LeadingNumber(text.substr(dash + 1));
  }
  if (range.first > range.last) {
    std::swap(range.first, range.last);
  }
  return range;
}

PortTextRange ReadPortText(const QString& text) { return ReadPortText(ToUtf8(text)); }

// A list entry that sorts by its ports' numbers, so that 80 comes before
// 443 (a list sorted by text puts "443" first).
class PortItem final : public QListWidgetItem {
 public:
  using QListWidgetItem::QListWidgetItem;
  bool operator<(const QListWidgetItem& other) const override {
    const PortTextRange mine = ReadPortText(text());
    const PortTextRange theirs = ReadPortText(other.text());
    return std::tie(mine.first, mine.last) < std::tie(theirs.first, theirs.last);
  }
};

// Adds through addItem(): an item given its list in the constructor is
// placed before it is a PortItem, so by its text.
void AddPortItem(QListWidget& list, const QString& text) { list.addItem(new PortItem(text)); }

QString PlainPortText(std::uint32_t first, std::uint32_t last) {
  return first == last ? QString::number(first)
                       : QString::number(first) + QLatin1Char('-') + QString::number(last);
}

protocol::PortRange NetworkRange(const PortTextRange& range) {
  return protocol::HostPortRange(static_cast<std::uint16_t>(range.first),
                                 static_cast<std::uint16_t>(range.last));
}

std::vector<protocol::PortRange> ListedPorts(const QListWidget& list) {
  std::vector<protocol::PortRange> ports;
  for (int row = 0; row < list.count(); ++row) {
    ports.push_back(NetworkRange(ReadPortText(list.item(row)->text())));
  }
  return ports;
}

void ShowPorts(QListWidget& list, std::span<const protocol::PortRange> ports) {
  list.clear();
  for (const protocol::PortRange& range : ports) {
    AddPortItem(
        list, PlainPortText(protocol::NetToHost16(range.first), protocol::NetToHost16(range.last)));
  }
}

void StorePorts(bool all, const std::vector<protocol::PortRange>& ports, std::uint32_t& count,
                protocol::PortRanges& ranges) {
  ranges = {};
  count = 0;
  if (all) {
    return;
  }
  for (const protocol::PortRange& range : ports) {
    if (count == ranges.size()) {
      break;
    }
    ranges[count++] = range;
  }
}

std::string_view Trimmed(std::string_view text, std::string_view blanks) {
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool AllDigits(std::string_view text) {
  return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

// The port part of an entry text (up to the first space or "(") is "All",
// a number, or two numbers joined by a dash: letters would read as port 0.
bool PortTextReadable(std::string_view text) {
  text = text.substr(0, text.find_first_of(" ("));
  if (text == "All") {
    return true;
  }
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos) {
    return AllDigits(text);
  }
  return AllDigits(text.substr(0, dash)) && AllDigits(text.substr(dash + 1));
}

// A number as the dialog's data exchange reads it: blanks around it, an
// optional sign when `signedNumber`, and nothing else. Very long numbers
// saturate, so that they fail the range check rather than the syntax one.
std::optional<std::int64_t> ReadNumber(const QString& text, bool signedNumber) {
  const std::string utf8 = ToUtf8(text);
  std::string_view number = Trimmed(utf8, " \t");
  bool negative = false;
  if (signedNumber && !number.empty() && (number.front() == '-' || number.front() == '+')) {
    negative = number.front() == '-';
    number.remove_prefix(1);
  }
  if (!AllDigits(number)) {
    return std::nullopt;
  }
  const auto magnitude = ReadCDecimal<std::int64_t>(number);
  return negative ? -magnitude : magnitude;
}

QLabel* Label(std::string_view text) { return new QLabel(ToQString(text)); }

QPushButton* Button(std::string_view text) { return new QPushButton(ToQString(text)); }

void SetEnabled(std::initializer_list<QWidget*> widgets, bool enabled) {
  for (QWidget* widget : widgets) {
    widget->setEnabled(enabled);
  }
}

using protocol::AddressFamilies;

constexpr std::int64_t kMaxPrefixLength = protocol::kMaxIpv6PrefixLength;
constexpr std::string_view kDefaultPrefixText = "128";  // one host, as the IPv4 mask starts

// The families' names in the order of the choice.
constexpr std::array<std::pair<AddressFamilies, std::string_view>, 3> kFamilyNames = {{
    {AddressFamilies::kBoth, "IPv4とIPv6"},
    {AddressFamilies::kIpv4, "IPv4のみ"},
    {AddressFamilies::kIpv6, "IPv6のみ"},
}};

void ShowIpv6Side(QLineEdit& addressBox, QLineEdit& prefixBox, const protocol::Ipv6Prefix& side) {
  if (side.length == 0) {
    addressBox.clear();
    prefixBox.setText(ToQString(kDefaultPrefixText));
    return;
  }
  addressBox.setText(ToQString(IpAddress::FromIpv6(side.address).ToText()));
  prefixBox.setText(QString::number(side.length));
}

// Whether the boxes hold an address that is not "any": any text at all
// (a wrong one is still meant as an address), unless the prefix is 0.
bool NamesIpv6Address(const QLineEdit& addressBox, const QLineEdit& prefixBox) {
  return !Trimmed(ToUtf8(addressBox.text()), kBlanks).empty() &&
         ReadNumber(prefixBox.text(), false) != 0;
}

// The IPv6 address and prefix boxes of one side, put in `grid` at `row`
// and the row after it.
void AddIpv6Boxes(QGridLayout& grid, int row, QLineEdit*& address, QLineEdit*& prefix) {
  address = new QLineEdit;
  address->setMaxLength(45);  // the longest IPv6 text, mixed notation included
  prefix = new QLineEdit;
  prefix->setMaxLength(3);
  grid.addWidget(Label("IPv6アドレス"), row, 0);
  grid.addWidget(address, row, 1, 1, 2);
  grid.addWidget(Label("プレフィックス長"), row + 1, 0);
  grid.addWidget(prefix, row + 1, 1);
}

}  // namespace

std::string FilterEditorRangeMessage(std::int64_t minimum, std::int64_t maximum) {
  return std::to_string(minimum) + " から " + std::to_string(maximum) +
         " までの整数を入力してください。";
}

// --- AcceleratedSpinEdit ---------------------------------------------------

AcceleratedSpinEdit::AcceleratedSpinEdit(int minimum, int maximum,
                                         std::vector<SpinAcceleration> acceleration,
                                         QWidget* parent)
    : QAbstractSpinBox(parent),
      minimum_(minimum),
      maximum_(maximum),
      acceleration_(std::move(acceleration)) {}

void AcceleratedSpinEdit::setText(const QString& text) { lineEdit()->setText(text); }

int AcceleratedSpinEdit::StepAfter(std::span<const SpinAcceleration> acceleration,
                                   milliseconds held) {
  int step = 1;
  for (const SpinAcceleration& entry : acceleration) {
    if (held >= entry.after) {
      step = entry.step;
    }
  }
  return step;
}

void AcceleratedSpinEdit::stepBy(int steps) {
  if (!sinceLastStep_.isValid() || sinceLastStep_.elapsed() > kHoldGapMs) {
    heldFor_.start();
  }
  sinceLastStep_.start();
  const std::int64_t step = StepAfter(acceleration_, milliseconds(heldFor_.elapsed()));
  const auto current = ReadCDecimal<std::int64_t>(ToUtf8(text()));
  const std::int64_t next = std::clamp<std::int64_t>(current + steps * step, minimum_, maximum_);
  setText(QString::number(next));
}

QAbstractSpinBox::StepEnabled AcceleratedSpinEdit::stepEnabled() const {
  const auto current = ReadCDecimal<std::int64_t>(ToUtf8(text()));
  StepEnabled enabled = StepNone;
  if (current < maximum_) {
    enabled |= StepUpEnabled;
  }
  if (current > minimum_) {
    enabled |= StepDownEnabled;
  }
  return enabled;
}

// --- CEditIPAddress --------------------------------------------------------

std::uint32_t CEditIPAddress::Address() const { return TypedAddress().value_or(kAllBits); }

std::optional<std::uint32_t> CEditIPAddress::TypedAddress() const {
  return ParseIpv4(ToUtf8(text().trimmed()));
}

void CEditIPAddress::SetAddress(std::uint32_t networkOrder) {
  setText(ToQString(FormatIpv4(networkOrder)));
}

// --- CEditFilterDlg: building ----------------------------------------------

CEditFilterDlg::CEditFilterDlg(const AdapterTable& adapters, UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent), adapters_(adapters), dialogs_(dialogs) {
  setWindowTitle(QStringLiteral("フィルタ編集"));
  BuildControls();
  Connect();
  UpdateEnabling();
}

void CEditFilterDlg::BuildControls() {
  auto* sides = new QHBoxLayout;
  sides->addWidget(BuildLocalSide());
  sides->addWidget(BuildRemoteSide());

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  controls_.ok = buttons->button(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &CEditFilterDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CEditFilterDlg::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(BuildIdentity());
  layout->addWidget(BuildKind());
  layout->addLayout(sides);
  layout->addWidget(BuildProcessAndRate());
  layout->addWidget(buttons);
}

QWidget* CEditFilterDlg::BuildIdentity() {
  auto* box = new QWidget;
  auto* grid = new QGridLayout(box);
  grid->setContentsMargins(0, 0, 0, 0);
  controls_.name = new QLineEdit;
  controls_.name->setMaxLength(99);
  controls_.comment = new QLineEdit;
  controls_.comment->setMaxLength(127);
  controls_.adapter = new QComboBox;
  grid->addWidget(Label("フィルタ名"), 0, 0);
  grid->addWidget(controls_.name, 0, 1);
  grid->addWidget(Label("コメント"), 1, 0);
  grid->addWidget(controls_.comment, 1, 1);
  grid->addWidget(Label("ネットワークアダプタ"), 2, 0);
  grid->addWidget(controls_.adapter, 2, 1);
  return box;
}

QWidget* CEditFilterDlg::BuildKind() {
  auto* protocolBox = new QGroupBox(QStringLiteral("プロトコル"));
  controls_.tcp = new QRadioButton(QStringLiteral("TCP"));
  controls_.udp = new QRadioButton(QStringLiteral("UDP"));
  auto* protocolLayout = new QHBoxLayout(protocolBox);
  protocolLayout->addWidget(controls_.tcp);
  protocolLayout->addWidget(controls_.udp);

  auto* directionBox = new QGroupBox(QStringLiteral("方向"));
  controls_.send = new QRadioButton(QStringLiteral("Send"));
  controls_.receive = new QRadioButton(QStringLiteral("Receive"));
  auto* directionLayout = new QHBoxLayout(directionBox);
  directionLayout->addWidget(controls_.send);
  directionLayout->addWidget(controls_.receive);

  auto* row = new QWidget;
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(protocolBox);
  layout->addWidget(directionBox);
  layout->addWidget(BuildFamilies());
  controls_.tcp->setChecked(true);
  controls_.send->setChecked(true);
  return row;
}

QWidget* CEditFilterDlg::BuildFamilies() {
  auto* box = new QGroupBox(QStringLiteral("IPバージョン"));
  controls_.families = new QComboBox;
  for (const auto& [families, name] : kFamilyNames) {
    controls_.families->addItem(ToQString(name), static_cast<int>(families));
  }
  auto* layout = new QHBoxLayout(box);
  layout->addWidget(controls_.families);
  return box;
}

QWidget* CEditFilterDlg::BuildLocalSide() {
  auto* box = new QGroupBox(QStringLiteral("自分"));
  controls_.localAddress = new CEditIPAddress;
  controls_.localAddress->setReadOnly(true);
  controls_.localPort = new QLineEdit;
  controls_.localPort->setMaxLength(11);
  controls_.localAdd = Button("追加(&A)");
  controls_.localDelete = Button("削除");
  controls_.localList = new QListWidget;
  controls_.localList->setSortingEnabled(true);
  controls_.localList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  controls_.localAllPorts = new QCheckBox(QStringLiteral("全てのポート"));

  auto* note = Label("表示しているアドレスは一例です。アダプタの全てのアドレスが対象になります。");
  note->setWordWrap(true);
  auto* grid = new QGridLayout(box);
  grid->addWidget(Label("IPアドレス"), 0, 0);
  grid->addWidget(controls_.localAddress, 0, 1, 1, 2);
  grid->addWidget(note, 1, 0, 1, 3);
  AddIpv6Boxes(*grid, 2, controls_.localIpv6, controls_.localIpv6Prefix);
  grid->addWidget(Label("ポート"), 4, 0);
  grid->addWidget(controls_.localPort, 4, 1);
  grid->addWidget(controls_.localAdd, 4, 2);
  grid->addWidget(controls_.localList, 5, 1);
  grid->addWidget(controls_.localDelete, 5, 2, Qt::AlignTop);
  grid->addWidget(controls_.localAllPorts, 6, 1);
  return box;
}

QWidget* CEditFilterDlg::BuildRemoteSide() {
  auto* box = new QGroupBox(QStringLiteral("通信相手"));
  controls_.remoteAddress = new CEditIPAddress;
  controls_.remoteMask = new CEditIPAddress;
  controls_.allAddresses = new QCheckBox(QStringLiteral("全てのIPアドレス"));
  controls_.remotePort = new QComboBox;
  controls_.remotePort->setEditable(true);
  controls_.remotePort->setInsertPolicy(QComboBox::NoInsert);
  controls_.remotePort->lineEdit()->setMaxLength(40);
  for (const std::string_view preset : kRemotePortPresets) {
    controls_.remotePort->addItem(ToQString(preset));
  }
  controls_.remotePort->setCurrentIndex(-1);
  controls_.remoteAdd = Button("追加(&A)");
  controls_.remoteDelete = Button("削除");
  controls_.remoteList = new QListWidget;
  controls_.remoteList->setSortingEnabled(true);
  controls_.remoteList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  controls_.remoteAllPorts = new QCheckBox(QStringLiteral("全てのポート"));

  auto* grid = new QGridLayout(box);
  grid->addWidget(Label("IPアドレス"), 0, 0);
  grid->addWidget(controls_.remoteAddress, 0, 1, 1, 2);
  grid->addWidget(Label("IPアドレスマスク"), 1, 0);
  grid->addWidget(controls_.remoteMask, 1, 1, 1, 2);
  grid->addWidget(controls_.allAddresses, 2, 1, 1, 2);
  AddIpv6Boxes(*grid, 3, controls_.remoteIpv6, controls_.remoteIpv6Prefix);
  grid->addWidget(Label("ポート"), 5, 0);
  grid->addWidget(controls_.remotePort, 5, 1);
  grid->addWidget(controls_.remoteAdd, 5, 2);
  grid->addWidget(controls_.remoteList, 6, 1);
  grid->addWidget(controls_.remoteDelete, 6, 2, Qt::AlignTop);
  grid->addWidget(controls_.remoteAllPorts, 7, 1);
  return box;
}

QWidget* CEditFilterDlg::BuildProcessAndRate() {
  controls_.process = new QLineEdit;
  controls_.browse = Button("参照...");
  controls_.rate = new AcceleratedSpinEdit(1, 32767, kRateAcceleration);
  controls_.packetSize = new AcceleratedSpinEdit(1, 1550, kPacketSizeAcceleration);
  controls_.unlimited = new QCheckBox(QStringLiteral("帯域を制限しない"));

  auto* box = new QWidget;
  auto* grid = new QGridLayout(box);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->addWidget(Label("プロセス名"), 0, 0);
  grid->addWidget(controls_.process, 0, 1);
  grid->addWidget(controls_.browse, 0, 2);
  grid->addWidget(Label("帯域"), 1, 0);
  grid->addWidget(controls_.rate, 1, 1);
  grid->addWidget(Label("KB/s"), 1, 2);
  grid->addWidget(Label("(HTB使用時は無視されます。)"), 1, 3);
  grid->addWidget(Label("最小パケットサイズ"), 2, 0);
  grid->addWidget(controls_.packetSize, 2, 1);
  grid->addWidget(Label("Byte"), 2, 2);
  grid->addWidget(controls_.unlimited, 3, 1, 1, 3);
  return box;
}

void CEditFilterDlg::Connect() {
  const Controls& c = controls_;
  connect(c.adapter, &QComboBox::currentIndexChanged, this, &CEditFilterDlg::SelectAdapter);
  for (QAbstractButton* box : std::initializer_list<QAbstractButton*>{
           c.tcp, c.localAllPorts, c.remoteAllPorts, c.unlimited}) {
    connect(box, &QAbstractButton::toggled, this, &CEditFilterDlg::UpdateEnabling);
  }
  connect(c.allAddresses, &QCheckBox::clicked, this, &CEditFilterDlg::AllAddressesClicked);
  connect(c.localAdd, &QPushButton::clicked, this,
          [this] { AddPort(controls_.localList, controls_.localPort->text(), false); });
  connect(c.remoteAdd, &QPushButton::clicked, this,
          [this] { AddPort(controls_.remoteList, controls_.remotePort->currentText(), true); });
  connect(c.localDelete, &QPushButton::clicked, this,
          [this] { qDeleteAll(controls_.localList->selectedItems()); });
  connect(c.remoteDelete, &QPushButton::clicked, this,
          [this] { qDeleteAll(controls_.remoteList->selectedItems()); });
  connect(c.browse, &QPushButton::clicked, this, &CEditFilterDlg::Browse);
  connect(c.families, &QComboBox::currentIndexChanged, this, &CEditFilterDlg::UpdateEnabling);
  // Only the user's own pick stops the families following the addresses.
  connect(c.families, &QComboBox::activated, this, [this] { familiesPicked_ = true; });
  for (QLineEdit* box : {static_cast<QLineEdit*>(c.remoteMask), c.localIpv6, c.localIpv6Prefix,
                         c.remoteIpv6, c.remoteIpv6Prefix}) {
    connect(box, &QLineEdit::textChanged, this, &CEditFilterDlg::FollowAddresses);
    connect(box, &QLineEdit::editingFinished, this, &CEditFilterDlg::FollowAddresses);
  }
}

// --- CEditFilterDlg: behaviour ---------------------------------------------

bool CEditFilterDlg::LoadFromSetting(bool isNew, const PacketFilterSetting& record) {
  const std::vector<AdapterEntry>& entries = adapters_.Entries();
  if (entries.size() <= 1) {
    dialogs_.ShowMessage(kFilterEditorNoAdapterMessage);
    return false;
  }
  Controls& c = controls_;
  {
    const QSignalBlocker blocker(c.adapter);
    c.adapter->clear();
    for (std::size_t i = 1; i < entries.size(); ++i) {
      c.adapter->addItem(ToQString(entries[i].description), entries[i].index);
    }
  }
  const int matching = c.adapter->findData(record.AdapterIndex);
  const int chosen = isNew || matching < 0 ? 0 : matching;
  c.adapter->setCurrentIndex(chosen);
  SelectAdapter(chosen);

  c.name->setText(ToQString(record.Name));
  c.comment->setText(ToQString(record.Comment));
  (record.Protocol == 6 ? c.tcp : c.udp)->setChecked(true);
  (record.TBFMode == 1 ? c.receive : c.send)->setChecked(true);
  c.remoteAddress->SetAddress(record.RemoteIPAddr);
  c.remoteMask->SetAddress(record.RemoteIPAddrMask);
  c.allAddresses->setChecked(record.RemoteIPAddrMask == 0);
  ShowPorts(*c.localList, record.UsedLocalPorts());
  ShowPorts(*c.remoteList, record.UsedRemotePorts());
  c.localAllPorts->setChecked(record.LocalPortCount == 0);
  c.remoteAllPorts->setChecked(record.RemotePortCount == 0);
  c.process->setText(ToQString(record.AppName));
  c.rate->setText(QString::number(record.TBFRate / 1024));
  c.packetSize->setText(QString::number(record.TBFMPU));
  c.unlimited->setChecked(record.TBFThrough != 0);
  LoadIpv6(record);
  UpdateEnabling();
  accepted_.reset();
  // An existing filter is mostly opened to change its rate.
  (isNew ? static_cast<QWidget*>(c.name) : c.rate)->setFocus();
  return true;
}

void CEditFilterDlg::SelectAdapter(int comboIndex) {
  if (comboIndex < 0) {
    return;
  }
  adapterIndex_ = controls_.adapter->itemData(comboIndex).toInt();
  controls_.localAddress->SetAddress(adapters_.FirstAddressOf(adapterIndex_));
}

void CEditFilterDlg::LoadIpv6(const PacketFilterSetting& record) {
  Controls& c = controls_;
  familiesPicked_ = false;
  ShowIpv6Side(*c.localIpv6, *c.localIpv6Prefix, record.LocalIpv6);
  ShowIpv6Side(*c.remoteIpv6, *c.remoteIpv6Prefix, record.RemoteIpv6);
  ShowFamilies(record.EffectiveFamilies());
  familiesPicked_ = record.AddressFamily.has_value();
}

AddressFamilies CEditFilterDlg::ShownFamilies() const {
  return static_cast<AddressFamilies>(controls_.families->currentData().toInt());
}

void CEditFilterDlg::ShowFamilies(AddressFamilies families) {
  controls_.families->setCurrentIndex(controls_.families->findData(static_cast<int>(families)));
}

AddressFamilies CEditFilterDlg::FamiliesOfAddresses() const {
  const Controls& c = controls_;
  if (NamesIpv6Address(*c.localIpv6, *c.localIpv6Prefix) ||
      NamesIpv6Address(*c.remoteIpv6, *c.remoteIpv6Prefix)) {
    return AddressFamilies::kIpv6;
  }
  // The local mask is always stored as 0.
  return c.remoteMask->Address() == 0 ? AddressFamilies::kBoth : AddressFamilies::kIpv4;
}

void CEditFilterDlg::FollowAddresses() {
  if (familiesPicked_) {
    return;
  }
  const Controls& c = controls_;
  const AddressFamilies families = FamiliesOfAddresses();
  // Emptying an IPv6 box must not disable the box being typed in (the
  // IPv4 mask may still name an address): it follows when the user leaves.
  const bool typingIpv6 = c.localIpv6->hasFocus() || c.localIpv6Prefix->hasFocus() ||
                          c.remoteIpv6->hasFocus() || c.remoteIpv6Prefix->hasFocus();
  if (families == AddressFamilies::kIpv4 && typingIpv6) {
    return;
  }
  ShowFamilies(families);
}

void CEditFilterDlg::UpdateEnabling() {
  const Controls& c = controls_;
  const AddressFamilies families = ShownFamilies();
  const bool ipv4 = families != AddressFamilies::kIpv6;
  SetEnabled({c.localIpv6, c.localIpv6Prefix, c.remoteIpv6, c.remoteIpv6Prefix},
             families != AddressFamilies::kIpv4);
  c.allAddresses->setEnabled(ipv4);
  SetEnabled({c.process, c.browse}, c.tcp->isChecked());
  SetEnabled({c.localPort, c.localAdd, c.localDelete, c.localList}, !c.localAllPorts->isChecked());
  SetEnabled({c.remotePort, c.remoteAdd, c.remoteDelete, c.remoteList},
             !c.remoteAllPorts->isChecked());
  SetEnabled({c.rate, c.packetSize}, !c.unlimited->isChecked());
  SetEnabled({c.remoteAddress, c.remoteMask}, ipv4 && !c.allAddresses->isChecked());
}

void CEditFilterDlg::AllAddressesClicked(bool checked) {
  controls_.remoteMask->SetAddress(checked ? 0 : kAllBits);
  UpdateEnabling();
}

void CEditFilterDlg::AddPort(QListWidget* list, const QString& typed, bool withServiceName) {
  if (list->count() >= kMaxPortEntries) {
    dialogs_.ShowMessage(kFilterEditorPortsFullMessage);
    return;
  }
  // Blanks around the entry would cut its port part short.
  const QString text = typed.trimmed();
  if (text.isEmpty()) {
    return;
  }
  if (!PortTextReadable(ToUtf8(text))) {
    dialogs_.ShowMessage(kFilterEditorPortDigitsMessage);
    return;
  }
  const PortTextRange range = ReadPortText(text);
  if (!range.InRange()) {
    dialogs_.ShowMessage(kFilterEditorPortRangeMessage);
    return;
  }
  for (int row = 0; row < list->count(); ++row) {
    if (ReadPortText(list->item(row)->text()) == range) {
      dialogs_.ShowMessage(kFilterEditorPortListedMessage);
      return;
    }
  }
  const protocol::PortRange ports = NetworkRange(range);
  AddPortItem(*list, withServiceName ? ToQString(PortText(ports.first, ports.last))
                                     : PlainPortText(range.first, range.last));
  if (withServiceName) {
    // No current preset, so that choosing the same one again is a change.
    controls_.remotePort->setCurrentIndex(-1);
    controls_.remotePort->setEditText({});
  } else {
    controls_.localPort->clear();
  }
}

void CEditFilterDlg::Browse() {
  const QString path = chooseProcess_(this);
  if (!path.isEmpty()) {
    controls_.process->setText(QFileInfo(path).fileName());
  }
}

// --- CEditFilterDlg: OK ----------------------------------------------------

bool CEditFilterDlg::Refuse(std::string_view message, QWidget* field) {
  dialogs_.ShowMessage(message);
  field->setFocus();
  if (auto* edit = qobject_cast<QLineEdit*>(field)) {
    edit->selectAll();
  } else if (auto* spin = qobject_cast<QAbstractSpinBox*>(field)) {
    spin->selectAll();
  }
  return false;
}

bool CEditFilterDlg::ReadRate(Values& values) {
  const std::optional<std::int64_t> rate = ReadNumber(controls_.rate->text(), false);
  if (!rate) {
    return Refuse(kFilterEditorUnsignedMessage, controls_.rate);
  }
  if (*rate > kMaxRateKiB) {
    return Refuse(FilterEditorRangeMessage(0, kMaxRateKiB), controls_.rate);
  }
  values.rateKiB = static_cast<std::uint32_t>(*rate);
  return true;
}

bool CEditFilterDlg::ReadRemoteIpv4(Values& values) {
  const Controls& c = controls_;
  values.remoteAddress = c.remoteAddress->Address();
  values.remoteMask = c.remoteMask->Address();
  // Disabled boxes (all addresses, or IPv6 alone) cannot be corrected and
  // do not take part in the filter's address.
  if (!c.remoteAddress->isEnabled()) {
    return true;
  }
  if (!c.remoteAddress->TypedAddress()) {
    return Refuse(kFilterEditorIpv4AddressMessage, c.remoteAddress);
  }
  if (!c.remoteMask->TypedAddress()) {
    return Refuse(kFilterEditorIpv4MaskMessage, c.remoteMask);
  }
  return true;
}

bool CEditFilterDlg::ReadPacketSize(Values& values) {
  const std::optional<std::int64_t> size = ReadNumber(controls_.packetSize->text(), true);
  if (!size) {
    return Refuse(kFilterEditorIntegerMessage, controls_.packetSize);
  }
  if (*size < 0 || *size > kMaxPacketSize) {
    return Refuse(FilterEditorRangeMessage(0, kMaxPacketSize), controls_.packetSize);
  }
  values.packetSize = static_cast<std::uint32_t>(*size);
  return true;
}

bool CEditFilterDlg::ReadIpv6Side(QLineEdit* addressBox, QLineEdit* prefixBox,
                                  protocol::Ipv6Prefix& side) {
  side = {};
  const std::string text(Trimmed(ToUtf8(addressBox->text()), kBlanks));
  if (text.empty()) {
    return true;  // any address, whatever the prefix box holds
  }
  const std::optional<IpAddress> address = ParseIpAddress(text);
  if (!address || address->IsIpv4()) {
    return Refuse(kFilterEditorIpv6AddressMessage, addressBox);
  }
  const std::optional<std::int64_t> length = ReadNumber(prefixBox->text(), false);
  if (!length || *length > kMaxPrefixLength) {
    return Refuse(kFilterEditorPrefixLengthMessage, prefixBox);
  }
  if (*length != 0) {
    side = {address->Ipv6Bytes(), static_cast<std::uint8_t>(*length)};
  }
  return true;
}

bool CEditFilterDlg::ReadIpv6(Values& values) {
  const Controls& c = controls_;
  values.families = ShownFamilies();
  values.familiesPicked = familiesPicked_;
  // A filter for IPv4 alone keeps no IPv6 address: it could match none.
  if (values.families == AddressFamilies::kIpv4) {
    return true;
  }
  return ReadIpv6Side(c.localIpv6, c.localIpv6Prefix, values.localIpv6) &&
         ReadIpv6Side(c.remoteIpv6, c.remoteIpv6Prefix, values.remoteIpv6);
}

bool CEditFilterDlg::CheckPortLists() {
  const Controls& c = controls_;
  if (!c.localAllPorts->isChecked() && c.localList->count() == 0) {
    return Refuse(kFilterEditorNoPortMessage, c.localPort);
  }
  if (!c.remoteAllPorts->isChecked() && c.remoteList->count() == 0) {
    return Refuse(kFilterEditorNoPortMessage, c.remotePort);
  }
  return true;
}

// The checks after the packet size: the process and the name.
bool CEditFilterDlg::ReadTexts(Values& values) {
  values.appName = std::string(Trimmed(ToUtf8(controls_.process->text()), kBlanks));
  if (values.appName == kSystemProcessName) {
    return Refuse(kSystemProcessFilterMessage, controls_.process);
  }
  values.name = ToUtf8(controls_.name->text());
  if (values.name.find(',') != std::string::npos) {
    return Refuse(kFilterEditorCommaMessage, controls_.name);
  }
  return TextsStorable(values);
}

bool CEditFilterDlg::TextsStorable(const Values& values) {
  if (!XmlTextProblem(values.name).empty()) {
    return Refuse(kFilterNameUnstorableMessage, controls_.name);
  }
  if (!XmlTextProblem(values.comment).empty()) {
    return Refuse(kFilterCommentUnstorableMessage, controls_.comment);
  }
  if (!XmlTextProblem(values.appName).empty()) {
    return Refuse(kFilterProcessUnstorableMessage, controls_.process);
  }
  return true;
}

void CEditFilterDlg::accept() {
  const Controls& c = controls_;
  Values values;
  if (!ReadRate(values)) {
    return;
  }
  if (!ReadRemoteIpv4(values) || !ReadIpv6(values) || !CheckPortLists()) {
    return;
  }
  values.comment = ToUtf8(c.comment->text());
  if (values.comment.find(',') != std::string::npos) {
    Refuse(kFilterEditorCommaMessage, c.comment);
    return;
  }
  if (!ReadPacketSize(values)) {
    return;
  }
  values.localPorts = ListedPorts(*c.localList);
  values.remotePorts = ListedPorts(*c.remoteList);
  if (!ReadTexts(values)) {
    return;
  }
  values.adapterIndex = adapterIndex_;
  values.protocol = c.tcp->isChecked() ? 6 : 17;
  values.mode = c.receive->isChecked() ? 1 : 0;
  values.localAddress = c.localAddress->Address();
  values.localAllPorts = c.localAllPorts->isChecked();
  values.remoteAllPorts = c.remoteAllPorts->isChecked();
  values.unlimited = c.unlimited->isChecked();
  accepted_ = std::move(values);
  QDialog::accept();
}

void CEditFilterDlg::SaveToSetting(PacketFilterSetting& record) const {
  if (!accepted_) {
    return;
  }
  const Values& v = *accepted_;
  record.Name = v.name.empty() ? std::string(strings::kNewFilter) : v.name;
  record.Comment = v.comment;
  record.Protocol = v.protocol;
  record.TBFMode = v.mode;
  record.AdapterIndex = v.adapterIndex;
  record.LowerAdapterName = adapters_.AdapterNameOf(v.adapterIndex);
  record.TBFRate = v.rateKiB * 1024;
  record.TBFMPU = v.packetSize;
  record.LocalIPAddr = v.localAddress;
  record.RemoteIPAddr = v.remoteAddress;
  record.RemoteIPAddrMask = v.remoteMask;
  record.LocalIPAddrMask = 0;
  StorePorts(v.localAllPorts, v.localPorts, record.LocalPortCount, record.LocalPorts);
  StorePorts(v.remoteAllPorts, v.remotePorts, record.RemotePortCount, record.RemotePorts);
  record.AppName = v.appName;
  record.HasApplication = v.appName.empty() ? 0 : 1;
  record.TBFThrough = v.unlimited ? 1 : 0;
  record.LocalIpv6 = v.localIpv6;
  record.RemoteIpv6 = v.remoteIpv6;
  record.AddressFamily.reset();
  if (v.familiesPicked && record.EffectiveFamilies() != v.families) {
    record.AddressFamily = v.families;
  }
}

}  // namespace harlune
