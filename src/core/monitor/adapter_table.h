#pragma once

// AdapterTable: the machine's network adapters as the filtering session, the
// filter records and their editors see them. Entry 0 is always the
// pseudo-adapter "none" (index -1, address 0.0.0.0), which is never used
// with the driver. The application owns one table and refreshes it from the
// system's adapter list every few seconds.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/user_dialogs.h"
#include "core/monitor/adapter_source.h"

namespace harlune {

struct AdapterEntry {
  std::int32_t index = -1;               // the system's adapter index
  std::vector<std::uint32_t> addresses;  // IPv4, network order
  std::string description;
  std::string name;        // the name the driver binds to ("\DEVICE\<name>")
  std::int32_t valid = 0;  // 1 while the adapter is in use with the driver
  // Only to find the adapter owning an IPv6 connection's local address; an
  // adapter is the same one by its IPv4 addresses, as before IPv6 was known.
  std::vector<IpAddress> ipv6Addresses;
};

// Asks the driver on one adapter for its version; 0 when it does not answer.
using DriverVersionQuery = std::function<std::uint32_t(std::string_view adapterName)>;

class AdapterTable {
 public:
  // A table holding only the pseudo-adapter.
  AdapterTable();

  // Builds the table anew from the system's list. Adapters that were in the
  // table before with the same index, description, name and at least one
  // common address keep their valid flag; those that were not valid are
  // asked for the driver's version and become valid when it is the one this
  // program speaks to; any other answer counts as a change too, so that the
  // session start meets that driver. Returns whether the set of usable
  // adapters changed,
  // so that the caller restarts the driver session. A failure of the
  // system's list is shown to the user and leaves only the pseudo-adapter.
  bool Refresh(AdapterSource& source, const DriverVersionQuery& driverVersion,
               UserDialogs& dialogs);

  // Entry 0 is the pseudo-adapter; the others follow in the system's order.
  const std::vector<AdapterEntry>& Entries() const { return entries_; }

  // The index of the first entry holding the address, else -1.
  std::int32_t AdapterIndexOfAddress(std::uint32_t address) const;
  // The same for an address of either family: an IPv4 one as above, an
  // IPv6 one among the IPv6 addresses (-1 for ::, which no adapter holds).
  std::int32_t AdapterIndexOfAddress(const IpAddress& address) const;
  // The index of the first entry with exactly that name, else -1.
  std::int32_t AdapterIndexOfName(std::string_view name) const;
  // The name of the first entry with that index, else "none".
  const std::string& AdapterNameOf(std::int32_t index) const;
  // The valid flag of the first entry with that name; 0 for an unknown name.
  std::int32_t AdapterValidOf(std::string_view name) const;
  // The first address of the entry with that index, else 0.0.0.0 (the
  // pseudo-adapter's address). An entry without addresses also gives 0.0.0.0.
  std::uint32_t FirstAddressOf(std::int32_t index) const;

  // Sets or clears the valid flag of the first entry with that name. The
  // pseudo-adapter stays not valid. Returns false when no real adapter
  // carries the name.
  bool SetValid(std::string_view name, bool valid);

 private:
  // The position of the first entry with the name or index, or the number
  // of entries when there is none.
  std::size_t PositionOfName(std::string_view name) const;
  std::size_t PositionOfIndex(std::int32_t index) const;

  std::vector<AdapterEntry> entries_;
};

}  // namespace harlune
