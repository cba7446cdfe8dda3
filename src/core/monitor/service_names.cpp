#include "core/monitor/service_names.h"

#include <algorithm>
#include <charconv>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

struct NamedPort {
  std::uint16_t port;
  std::string_view name;
};

// Every port below this one is looked up in a dense table; above it only a
// handful of ports carry a name.
constexpr std::uint16_t kDenseLimit = 217;
constexpr std::size_t kMaxNameLength = 11;
static_assert(kPortTextCapacity >= std::string_view("65535-65535 (").size() + kMaxNameLength + 1,
              "the longest port text fits the buffer");

constexpr std::array kLowPorts = std::to_array<NamedPort>({
    {1, "tcpmux"},        {2, "compressnet"},   {3, "compressnet"},   {5, "rje"},
    {7, "echo"},          {9, "discard"},       {11, "systat"},       {13, "daytime"},
    {17, "qotd"},         {18, "msp"},          {19, "chargen"},      {20, "ftp-data"},
    {21, "ftp-control"},  {22, "ssh"},          {23, "telnet"},       {25, "smtp"},
    {27, "nsw-fe"},       {29, "msg-icp"},      {31, "msg-auth"},     {33, "dsp"},
    {37, "time"},         {38, "rap"},          {39, "rlp"},          {41, "graphics"},
    {42, "name"},         {43, "nicname"},      {44, "mpm-flags"},    {45, "mpm"},
    {46, "mpm-snd"},      {47, "ni-ftp"},       {48, "auditd"},       {49, "tacacs"},
    {50, "re-mail-ck"},   {51, "la-maint"},     {52, "xns-time"},     {53, "domain"},
    {54, "xns-ch"},       {55, "isi-gl"},       {56, "xns-auth"},     {58, "xns-mail"},
    {61, "ni-mail"},      {62, "acas"},         {63, "whois++"},      {64, "covia"},
    {65, "tacacs-ds"},    {66, "sql*net"},      {67, "bootps"},       {68, "bootpc"},
    {69, "tftp"},         {70, "gopher"},       {71, "netrjs-1"},     {72, "netrjs-2"},
    {73, "netrjs-3"},     {74, "netrjs-4"},     {76, "deos"},         {78, "vettcp"},
    {79, "finger"},       {80, "http"},         {81, "hosts2-ns"},    {82, "xfer"},
    {83, "mit-ml-dev"},   {84, "ctf"},          {85, "mit-ml-dev"},   {86, "mfcobol"},
    {88, "kerberos"},     {89, "su-mit-tg"},    {90, "dnsix"},        {91, "mit-dov"},
    {92, "npp"},          {93, "dcp"},          {94, "objcall"},      {95, "supdup"},
    {96, "dixie"},        {97, "swift-rvf"},    {98, "tacnews"},      {99, "metagram"},
    {100, "newacct"},     {101, "hostname"},    {102, "iso-tsap"},    {103, "gppitnp"},
    {104, "acr-nema"},    {105, "csnet-ns"},    {106, "3com-tsmux"},  {107, "rtelnet"},
    {108, "snagas"},      {109, "pop2"},        {110, "pop3"},        {111, "sunrpc"},
    {112, "mcidas"},      {113, "auth"},        {114, "audionews"},   {115, "sftp"},
    {116, "ansanotify"},  {117, "uucp-path"},   {118, "sqlserv"},     {119, "nntp"},
    {120, "cfdptkt"},     {121, "erpc"},        {122, "smakynet"},    {123, "ntp"},
    {124, "ansatrader"},  {125, "locus-map"},   {126, "unitary"},     {127, "locus-con"},
    {128, "gss-xlicen"},  {129, "pwdgen"},      {130, "cisco-fna"},   {131, "cisco-tna"},
    {132, "cisco-sys"},   {133, "statsrv"},     {134, "ingres-net"},  {135, "epmap"},
    {136, "profile"},     {137, "netbios-ns"},  {138, "netbios-dgm"}, {139, "netbios-ssn"},
    {140, "emfis-data"},  {141, "emfis-cntl"},  {142, "bl-idm"},      {143, "imap"},
    {144, "uma"},         {145, "uaac"},        {146, "iso-tp0"},     {147, "iso-ip"},
    {148, "jargon"},      {149, "aed-512"},     {150, "sql-net"},     {151, "hems"},
    {152, "bftp"},        {153, "sgmp"},        {154, "netsc-prod"},  {155, "netsc-dev"},
    {156, "sqlsrv"},      {157, "knet-cmp"},    {158, "pcmail-srv"},  {159, "nss-routing"},
    {160, "sgmp-traps"},  {161, "snmp"},        {162, "snmptrap"},    {163, "cmip-man"},
    {164, "cmip-agent"},  {165, "xns-courier"}, {166, "s-net"},       {167, "namp"},
    {168, "rsvd"},        {169, "send"},        {170, "print-srv"},   {171, "multiplex"},
    {172, "cl/1"},        {173, "xyplex-mux"},  {174, "mailq"},       {175, "vmnet"},
    {176, "genrad-mux"},  {177, "xdmcp"},       {178, "nextstep"},    {179, "bgp"},
    {180, "ris"},         {181, "unify"},       {182, "audit"},       {183, "ocbinder"},
    {184, "ocserver"},    {185, "remote-kis"},  {186, "kis"},         {187, "aci"},
    {188, "mumps"},       {189, "qft"},         {190, "gacp"},        {191, "prospero"},
    {192, "osu-nms"},     {193, "srmp"},        {194, "irc"},         {195, "dn6-nlm-aud"},
    {196, "dn6-smm-red"}, {197, "dls"},         {198, "dls-mon"},     {199, "smux"},
    {200, "src"},         {201, "at-rtmp"},     {202, "at-nbp"},      {203, "at-3"},
    {204, "at-echo"},     {205, "at-5"},        {206, "at-zis"},      {207, "at-7"},
    {208, "at-8"},        {209, "qmtp"},        {210, "z39.50"},      {211, "914c/g"},
    {212, "anet"},        {213, "ipx"},         {214, "vmpwscs"},     {215, "softpc"},
    {216, "CAIlic"},
});

constexpr bool IsWellFormed(const auto& entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].port >= kDenseLimit || entries[i].name.empty() ||
        entries[i].name.size() > kMaxNameLength) {
      return false;
    }
    if (i != 0 && entries[i - 1].port >= entries[i].port) {
      return false;
    }
  }
  return true;
}
static_assert(kLowPorts.size() == 193);
static_assert(IsWellFormed(kLowPorts), "ports ascending, below the dense limit, short names");

constexpr auto kDenseNames = [] {
  std::array<std::string_view, kDenseLimit> names{};
  for (const NamedPort& entry : kLowPorts) {
    names[entry.port] = entry.name;
  }
  return names;
}();

constexpr std::uint16_t kFtpDataPort = 20;
constexpr std::uint16_t kFtpControlPort = 21;
constexpr std::string_view kFtpRangeName = "ftp";

// Writes the decimal value at `out` and returns the position after it.
char* WriteNumber(char* out, char* end, std::uint16_t value) noexcept {
  return std::to_chars(out, end, value).ptr;
}

char* WriteText(char* out, std::string_view text) noexcept {
  return std::copy(text.begin(), text.end(), out);
}

}  // namespace

std::string_view ServiceNameOfPort(std::uint16_t hostPort) noexcept {
  if (hostPort < kDenseLimit) {
    return kDenseNames[hostPort];
  }
  switch (hostPort) {
    case 443:
      return "https";
    case 1863:
      return "msnp";
    case 2010:
    case 2011:
      return "kaze";
    case 6699:
      return "winmx";
    default:
      return {};
  }
}

std::string_view ServiceName(std::uint16_t lowNet, std::uint16_t highNet) noexcept {
  const std::uint16_t low = protocol::NetToHost16(lowNet);
  const std::uint16_t high = protocol::NetToHost16(highNet);
  if (low == high) {
    return ServiceNameOfPort(low);
  }
  if (low == kFtpDataPort && high == kFtpControlPort) {
    return kFtpRangeName;
  }
  return {};
}

std::string_view FormatPortText(std::uint16_t lowNet, std::uint16_t highNet,
                                PortTextBuffer& buffer) noexcept {
  const std::uint16_t low = protocol::NetToHost16(lowNet);
  const std::uint16_t high = protocol::NetToHost16(highNet);
  char* const begin = buffer.data();
  char* const end = begin + buffer.size();
  char* out = WriteNumber(begin, end, low);
  if (low != high) {
    *out++ = '-';
    out = WriteNumber(out, end, high);
  }
  const std::string_view name = ServiceName(lowNet, highNet);
  if (!name.empty()) {
    out = WriteText(out, " (");
    out = WriteText(out, name);
    *out++ = ')';
  }
  return std::string_view(begin, static_cast<std::size_t>(out - begin));
}

std::string PortText(std::uint16_t lowNet, std::uint16_t highNet) {
  PortTextBuffer buffer;
  return std::string(FormatPortText(lowNet, highNet, buffer));
}

}  // namespace harlune
