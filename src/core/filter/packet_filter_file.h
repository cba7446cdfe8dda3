#pragma once

// PacketFilterSetting.xml: the filter list as the Windows build stores it.
//
//   <?xml version='1.0' encoding='Shift_JIS'?>
//   <Root><PacketFilter><Name>...</Name>...<TBFThrough>FALSE</TBFThrough></PacketFilter>...</Root>
//
// One "PacketFilter" per record in list order, each holding one element per
// stored field (Name, Comment, AppName, LowerAdapterName, ID, Available,
// Protocol, the four addresses, LocalPort, RemotePort, TBFMode and the six
// token-bucket values, TBFThrough). After TBFThrough come the IPv6
// elements, each only in a filter that uses it: AddressFamily ("Both",
// "IPv4", "IPv6") when the user chose the families, and LocalIPv6Addr with
// LocalIPv6PrefixLength, RemoteIPv6Addr with RemoteIPv6PrefixLength, when
// that side has a prefix (docs/filter-file.md). DriverClassId and the
// run-time members are not stored; HasApplication follows AppName.
//
// Reading is lenient the way the Windows build is: names of the document
// element and of its children are not checked (every child element is a
// filter), unknown elements are ignored, a later duplicate wins, a missing
// field keeps its default. "TRUE" and "Send" must match exactly; an address
// that does not read gives 255.255.255.255 and a number that does not read
// gives 0. An IPv6 side whose address is not an IPv6 address, or whose
// prefix length is not 1..128, stays unset (any address), and a family text
// other than the three leaves the choice unset. A file that is not a
// readable XML document is damaged and nothing of it is taken.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/safe_file.h"
#include "core/filter/packet_filter_manager.h"
#include "core/filter/packet_filter_setting.h"

namespace harlune {

struct PacketFilterParseResult {
  // The filters in file order, each read onto a default record, with the
  // IDs the file gives (before the list assigns any). Set when the bytes parsed.
  std::optional<std::vector<PacketFilterSetting>> filters;
  std::string error;  // why the bytes are damaged
};

// Reads a whole file's bytes.
PacketFilterParseResult ParsePacketFilters(std::string_view bytes);

// Reads the bytes and appends every filter to the list as Add does (so
// missing or repeated IDs get free identifiers). Returns nothing when it
// took them; when the bytes are damaged, why, and the list is unchanged.
// This is the parser to give LoadSettingsFile.
std::optional<std::string> ReadPacketFilters(std::string_view bytes, PacketFilterManager& manager);

// The file's bytes for the list; a character Shift_JIS lacks is written as a
// character reference. Throws XmlWriteError, naming the field, when a text
// holds a character XML cannot carry.
std::string SerializePacketFilters(const PacketFilterManager& manager);

// Loads the file into the list through LoadSettingsFile (a damaged file is
// moved aside and its backup tried).
SettingsLoadResult LoadPacketFilterFile(const std::filesystem::path& path,
                                        PacketFilterManager& manager,
                                        const LocalClock& now = LocalTimeNow);

// Writes the file with WriteSettingsFile. Throws XmlWriteError before
// touching the file when the list cannot be stored.
SafeWriteResult SavePacketFilterFile(const std::filesystem::path& path,
                                     const PacketFilterManager& manager);

}  // namespace harlune
