#include "core/log/log_lines.h"

#include <array>
#include <cstdio>
#include <utility>
#include <vector>

#include "core/command/external_command.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

constexpr std::string_view kUnknown = "不明";

// The line as literal format text and inserted values; only the literal
// text is searched for placeholders, so a host name such as "%ProcessPath%"
// is written as it is.
class LineBuilder {
 public:
  explicit LineBuilder(std::string_view format) { pieces_.push_back({std::string(format), false}); }

  void Replace(std::string_view placeholder, std::string_view value) {
    std::vector<Piece> result;
    for (Piece& piece : pieces_) {
      if (piece.isValue) {
        result.push_back(std::move(piece));
        continue;
      }
      std::string_view text = piece.text;
      std::size_t at = text.find(placeholder);
      while (at != std::string_view::npos) {
        if (at > 0) {
          result.push_back({std::string(text.substr(0, at)), false});
        }
        result.push_back({SanitizeLogValue(value), true});
        text.remove_prefix(at + placeholder.size());
        at = text.find(placeholder);
      }
      if (!text.empty()) {
        result.push_back({std::string(text), false});
      }
    }
    pieces_ = std::move(result);
  }

  std::string Text() const {
    std::string text;
    for (const Piece& piece : pieces_) {
      text += piece.text;
    }
    return text;
  }

 private:
  struct Piece {
    std::string text;
    bool isValue;
  };
  std::vector<Piece> pieces_;
};

std::string Format(const char* format, int value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Port(std::uint16_t networkOrder) {
  return std::to_string(protocol::NetToHost16(networkOrder));
}

// The folder of the process's executable; empty for an unknown process.
std::string StatsProcessDir(std::string_view path) {
  if (path.starts_with(kUnknown)) {
    return {};
  }
  return ProcessDirectory(path);
}

}  // namespace

std::optional<std::tm> LocalLogTime(std::int64_t time) {
  const auto seconds = static_cast<std::time_t>(time);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) {
    return std::nullopt;
  }
  return local;
}

std::string SanitizeLogValue(std::string_view text) {
  std::string clean(text);
  for (char& c : clean) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      c = '?';
    }
  }
  return clean;
}

std::string ConnectionStatsLine(std::string_view format, const ConnectionStatsValues& values,
                                std::int64_t now) {
  const std::optional<std::tm> t = LocalLogTime(now);
  // A time that cannot be made gives empty fields.
  const auto field = [&t](const char* form, int value) {
    return t ? Format(form, value) : std::string();
  };
  LineBuilder line(format);
  line.Replace("%Year%", field("%04d", t ? t->tm_year + 1900 : 0));
  line.Replace("%Month%", field("%02d", t ? t->tm_mon + 1 : 0));
  line.Replace("%Day%", field("%02d", t ? t->tm_mday : 0));
  line.Replace("%Hour%", field("%02d", t ? t->tm_hour : 0));
  line.Replace("%Minute%", field("%02d", t ? t->tm_min : 0));
  line.Replace("%Second%", field("%02d", t ? t->tm_sec : 0));
  line.Replace("%LocalAddr%", values.localAddr.ToText());
  line.Replace("%LocalPort%", Port(values.localPort));
  line.Replace("%RemoteAddr%", values.remoteAddr.ToText());
  line.Replace("%RemotePort%", Port(values.remotePort));
  line.Replace("%RemoteHost%", values.remoteHost);
  line.Replace("%ProcessID%", std::to_string(values.processId));
  line.Replace("%ProcessName%", values.processName);
  line.Replace("%ProcessPath%", values.processPath);
  line.Replace("%ProcessDir%", StatsProcessDir(values.processPath));
  line.Replace("%RemoteDomain%", values.remoteDomain);
  line.Replace("%TimePeriod%", std::to_string(values.connectedSeconds));
  line.Replace("%SendTraffic%", std::to_string(values.upTotal));
  line.Replace("%ReceiveTraffic%", std::to_string(values.downTotal));
  return line.Text() + "\n";
}

std::string ConnectionControlLine(std::int64_t now, std::string_view remoteHost,
                                  const IpAddress& remoteAddr, std::string_view reason) {
  // Fixed English month names, as the C locale writes them, so that the
  // files read the same whatever locale the desktop runs in.
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string stamp;
  if (const std::optional<std::tm> t = LocalLogTime(now)) {
    char text[64];
    std::snprintf(text, sizeof text, "[%02d/%s/%04d:%02d:%02d:%02d]", t->tm_mday,
                  kMonths[static_cast<std::size_t>(t->tm_mon) % kMonths.size()], t->tm_year + 1900,
                  t->tm_hour, t->tm_min, t->tm_sec);
    stamp = text;
  }
  const std::string host = remoteHost.empty() ? remoteAddr.ToText() : SanitizeLogValue(remoteHost);
  return stamp + " \"" + host + "\" " + SanitizeLogValue(reason) + "\n";
}

}  // namespace harlune
