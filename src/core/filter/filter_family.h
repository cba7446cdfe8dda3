#pragma once

// What the driver is given for a filter: the 200-byte record, and the
// families and IPv6 addresses that follow it by HlSetTBFClassFamily when the
// record alone does not say them.

#include "core/filter/packet_filter_setting.h"
#include "protocol/class_family.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {

// The record as the driver receives it. A filter for IPv6 alone goes with
// a remote IPv4 address that no packet comes from (0.0.0.0 with the mask
// 255.255.255.255), so that a driver which knows only the record never
// applies it to IPv4; the stored record keeps the user's IPv4 fields.
_TBF_SETTING_DATA DriverRecordOf(const PacketFilterSetting& filter);

// The input of HlSetTBFClassFamily for the filter's class.
protocol::ClassFamily ClassFamilyOf(const PacketFilterSetting& filter);

// Whether the driver, given the record alone, would apply the filter to
// other families or other IPv6 addresses than the filter says.
bool NeedsFamilyRequest(const PacketFilterSetting& filter);

}  // namespace harlune
