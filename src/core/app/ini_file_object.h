#pragma once

// IniFileObject: the general options, the main window's placement and the
// widths and order of the columns of every list, as GeneralSetting.ini holds
// them, together with the older filters that the same file may describe. The
// main window owns one for the life of the process and hands it to every page
// and manager that needs a setting. Options are named by their keys.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/dynamic/dynamic_filter_list.h"

namespace harlune {

// The main window's rectangle in screen coordinates. The file lists it as
// top, left, bottom, right.
struct WindowRectangle {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 800;
  std::int32_t bottom = 500;

  bool operator==(const WindowRectangle&) const = default;
};

// Column widths or the column order array of one list.
template <std::size_t N>
using ColumnValues = std::array<std::int32_t, N>;

// The column order in which every column stands at its own place.
template <std::size_t N>
constexpr ColumnValues<N> NaturalColumnOrder() {
  ColumnValues<N> order{};
  for (std::size_t i = 0; i < N; ++i) {
    order[i] = static_cast<std::int32_t>(i);
  }
  return order;
}

struct IniFileObject {
  static constexpr std::string_view kSectionName = "GeneralSetting";
  // Written as INI_FILE_VERSION, first in the section; never read.
  static constexpr std::int32_t kIniFileVersion = 1500;

  // Switches are kept as the platform's BOOL they always were: 1 is on, 0 is
  // off. The file has no word for another number: it is written as an empty
  // value, which reads back as off.
  std::int32_t PORT_PROCESS_MAPPING = 1;
  std::int32_t AUTO_SAVE = 1;
  std::int32_t STARTUP_MINIMIZE = 0;
  std::int32_t STARTUP_ON = 0;
  std::int32_t NOICON = 0;
  std::int32_t SYSTEM_CHECK = 0;
  std::int32_t SHOW_ACTIVE_CONNECTION_ONLY = 0;
  std::int32_t SHOW_LISTENING = 0;
  std::int32_t CONNECTION_CONTROL = 1;
  std::int32_t START_CONNECTION_CONTROL_WITH_FILTERING = 0;
  std::int32_t RESOLVE_HOST = 1;
  std::int32_t SHOW_ALL_HTB_CLASSES = 0;
  std::uint32_t VIEW_REFRESH_CYCLE = 1000;  // ms
  std::int32_t MAX_PACKET_CAPTURE_NUM = 100;
  std::int32_t TIME_TO_CALC_AVERAGE_BANDWIDTH = 5;
  std::int32_t DO_DYNAMIC_FILTERING = 1;
  std::int32_t DO_HTB = 1;
  std::int32_t LOG_CONNECTION_STATS = 1;
  std::string CONNECTION_STATS_LOG_FILE_NAME =
      ".\\log\\ConnectionStats\\[%Year%%Month%%Day%]ConnectionStats.csv";
  std::string CONNECTION_STATS_LOG_FORMAT =
      "[%Hour%:%Minute%:%Second%,%LocalAddr%,%LocalPort%,%RemoteAddr%,%RemotePort%,"
      "%RemoteHost%,%ProcessName%,%TimePeriod%,%SendTraffic%,%ReceiveTraffic%";
  std::int32_t LOG_CONNECTION_CONTROL = 1;
  std::string CONNECTION_CONTROL_LOG_FILE_NAME =
      ".\\log\\ConnectionControl\\[%Year%%Month%%Day%]ConnectionControl.log";
  ColumnValues<15> LCFILTER_COLUMN_SIZE{130, 59,  85, 80, 65, 70,  70, 65,
                                        101, 101, 96, 82, 82, 109, 109};
  ColumnValues<10> LCHTB_COLUMN_SIZE{100, 65, 80, 65, 100, 65, 55, 100, 80, 100};
  ColumnValues<7> LCDYNAMICFILTER_COLUMN_SIZE{130, 100, 200, 80, 65, 39, 65};
  ColumnValues<15> LCTCPCONNECTION_COLUMN_SIZE{60,  80, 80, 100, 100, 102, 82, 102,
                                               170, 79, 89, 63,  63,  63,  130};
  ColumnValues<8> LCCONNECTIONCONTROLRULE_COLUMN_SIZE{60, 80, 80, 80, 80, 80, 80, 80};
  ColumnValues<16> LCTCPPACKET_COLUMN_SIZE{60,  69,  62, 64, 63, 38, 100, 110,
                                           103, 104, 90, 93, 69, 87, 69,  87};
  ColumnValues<12> LCUDPPACKET_COLUMN_SIZE{60, 69, 62, 64, 63, 38, 100, 110, 103, 104, 80, 80};
  ColumnValues<15> LCFILTER_COLUMN_ORDER = NaturalColumnOrder<15>();
  ColumnValues<10> LCHTB_COLUMN_ORDER = NaturalColumnOrder<10>();
  ColumnValues<7> LCDYNAMICFILTER_COLUMN_ORDER = NaturalColumnOrder<7>();
  ColumnValues<15> LCTCPCONNECTION_COLUMN_ORDER = NaturalColumnOrder<15>();
  ColumnValues<8> LCCONNECTIONCONTROLRULE_COLUMN_ORDER = NaturalColumnOrder<8>();
  ColumnValues<16> LCTCPPACKET_COLUMN_ORDER = NaturalColumnOrder<16>();
  ColumnValues<12> LCUDPPACKET_COLUMN_ORDER = NaturalColumnOrder<12>();
  WindowRectangle WINDOW_SIZE;
  std::int32_t CONFIRM_CLOSE = 0;
  std::int32_t CLOSE_BUTTON_ACTION = 0;  // 0 = the close button ends the program, 1 = hides
  std::array<std::int32_t, 2> NOT_SHOW_MESSAGE{0, 0};  // flags, 0 or 1
  // Whether the filter page shows its rate graph. Unset until the user
  // shows or hides it once, and then only is it written, so that a file
  // of a user who never did stays as it was.
  std::optional<std::int32_t> SHOW_FILTER_GRAPH;

  // The older filters read from the file; they are never written back.
  StaticFilterList staticFilters;
  DynamicFilterList dynamicFilters;
};

// How the file spells a value.
enum class SettingKind {
  kBoolean,       // "TRUE" is 1, anything else 0
  kInteger,       // decimal
  kText,          // the whole value, commas included
  kList,          // decimal pieces separated by ",", piece j into entry j
  kFilterWidths,  // a list whose pieces above 2000 are taken as 200
  kRectangle,     // top,left,bottom,right
  kFlags,         // a list whose non-zero pieces set their flag to 1
};

// Calls visit(key, kind, member) for every option, in the order the file
// lists them (after INI_FILE_VERSION). `Object` is IniFileObject, const or not.
template <class Object, class Visitor>
requires std::same_as<std::remove_const_t<Object>, IniFileObject>
void VisitGeneralSettings(Object& o, Visitor&& visit) {
  using enum SettingKind;
  visit("PORT_PROCESS_MAPPING", kBoolean, o.PORT_PROCESS_MAPPING);
  visit("AUTO_SAVE", kBoolean, o.AUTO_SAVE);
  visit("STARTUP_MINIMIZE", kBoolean, o.STARTUP_MINIMIZE);
  visit("STARTUP_ON", kBoolean, o.STARTUP_ON);
  visit("NOICON", kBoolean, o.NOICON);
  visit("SYSTEM_CHECK", kBoolean, o.SYSTEM_CHECK);
  visit("SHOW_ACTIVE_CONNECTION_ONLY", kBoolean, o.SHOW_ACTIVE_CONNECTION_ONLY);
  visit("SHOW_LISTENING", kBoolean, o.SHOW_LISTENING);
  visit("CONNECTION_CONTROL", kBoolean, o.CONNECTION_CONTROL);
  visit("START_CONNECTION_CONTROL_WITH_FILTERING", kBoolean,
        o.START_CONNECTION_CONTROL_WITH_FILTERING);
  visit("RESOLVE_HOST", kBoolean, o.RESOLVE_HOST);
  visit("SHOW_ALL_HTB_CLASSES", kBoolean, o.SHOW_ALL_HTB_CLASSES);
  visit("VIEW_REFRESH_CYCLE", kInteger, o.VIEW_REFRESH_CYCLE);
  visit("MAX_PACKET_CAPTURE_NUM", kInteger, o.MAX_PACKET_CAPTURE_NUM);
  visit("TIME_TO_CALC_AVERAGE_BANDWIDTH", kInteger, o.TIME_TO_CALC_AVERAGE_BANDWIDTH);
  visit("DO_DYNAMIC_FILTERING", kBoolean, o.DO_DYNAMIC_FILTERING);
  visit("DO_HTB", kBoolean, o.DO_HTB);
  visit("LOG_CONNECTION_STATS", kBoolean, o.LOG_CONNECTION_STATS);
  visit("CONNECTION_STATS_LOG_FILE_NAME", kText, o.CONNECTION_STATS_LOG_FILE_NAME);
  visit("CONNECTION_STATS_LOG_FORMAT", kText, o.CONNECTION_STATS_LOG_FORMAT);
  visit("LOG_CONNECTION_CONTROL", kBoolean, o.LOG_CONNECTION_CONTROL);
  visit("CONNECTION_CONTROL_LOG_FILE_NAME", kText, o.CONNECTION_CONTROL_LOG_FILE_NAME);
  visit("LCFILTER_COLUMN_SIZE", kFilterWidths, o.LCFILTER_COLUMN_SIZE);
  visit("LCHTB_COLUMN_SIZE", kList, o.LCHTB_COLUMN_SIZE);
  visit("LCDYNAMICFILTER_COLUMN_SIZE", kList, o.LCDYNAMICFILTER_COLUMN_SIZE);
  visit("LCTCPCONNECTION_COLUMN_SIZE", kList, o.LCTCPCONNECTION_COLUMN_SIZE);
  visit("LCCONNECTIONCONTROLRULE_COLUMN_SIZE", kList, o.LCCONNECTIONCONTROLRULE_COLUMN_SIZE);
  visit("LCTCPPACKET_COLUMN_SIZE", kList, o.LCTCPPACKET_COLUMN_SIZE);
  visit("LCUDPPACKET_COLUMN_SIZE", kList, o.LCUDPPACKET_COLUMN_SIZE);
  visit("LCFILTER_COLUMN_ORDER", kList, o.LCFILTER_COLUMN_ORDER);
  visit("LCHTB_COLUMN_ORDER", kList, o.LCHTB_COLUMN_ORDER);
  visit("LCDYNAMICFILTER_COLUMN_ORDER", kList, o.LCDYNAMICFILTER_COLUMN_ORDER);
  visit("LCTCPCONNECTION_COLUMN_ORDER", kList, o.LCTCPCONNECTION_COLUMN_ORDER);
  visit("LCCONNECTIONCONTROLRULE_COLUMN_ORDER", kList, o.LCCONNECTIONCONTROLRULE_COLUMN_ORDER);
  visit("LCTCPPACKET_COLUMN_ORDER", kList, o.LCTCPPACKET_COLUMN_ORDER);
  visit("LCUDPPACKET_COLUMN_ORDER", kList, o.LCUDPPACKET_COLUMN_ORDER);
  visit("WINDOW_SIZE", kRectangle, o.WINDOW_SIZE);
  visit("CONFIRM_CLOSE", kBoolean, o.CONFIRM_CLOSE);
  visit("CLOSE_BUTTON_ACTION", kInteger, o.CLOSE_BUTTON_ACTION);
  visit("NOT_SHOW_MESSAGE", kFlags, o.NOT_SHOW_MESSAGE);
  visit("SHOW_FILTER_GRAPH", kBoolean, o.SHOW_FILTER_GRAPH);
}

}  // namespace harlune
