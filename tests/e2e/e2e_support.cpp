#include "e2e_support.h"

#include <fstream>
#include <memory>
#include <thread>

#include "core/app/settings_store.h"
#include "core/monitor/adapter_table.h"
#include "platform/linux/ifaddrs_adapter_source.h"
#include "protocol/ip_address.h"
#include "support/recording_user_dialogs.h"

namespace harlune::testing {

std::optional<Interface> FirstInterface() {
  IfaddrsAdapterSource source;
  const AdapterListResult list = source.ListAdapters();
  for (const SystemAdapter& adapter : list.adapters) {
    if (!adapter.addresses.empty() && adapter.addresses.front() != 0) {
      return Interface{adapter.name, adapter.addresses.front()};
    }
  }
  return std::nullopt;
}

bool WriteSettings(const std::filesystem::path& folder, const Interface& interface) {
  RecordingUserDialogs dialogs;
  Settings settings(folder, dialogs);
  settings.general.STARTUP_ON = 1;
  settings.general.DO_HTB = 1;
  PacketFilterSetting filter;
  filter.Name = "limited";
  filter.LowerAdapterName = interface.name;
  filter.TBFMode = 0;  // send
  filter.Protocol = 6;
  filter.TBFRate = kFilterRate;
  settings.filters.Add(filter);

  HTB_InnerClass& root = *settings.htb.SendTree().Root();
  root.AssuredRate = kFlowRate;
  root.CeilRate = kFlowRate;
  auto leaf = std::make_shared<HTB_LeafClass>();
  leaf->Name = "leaf";
  leaf->FilterID = settings.filters.At(0).ID;
  leaf->AvailableType = kAvailableAlways;
  leaf->AssuredRate = kLeafAssured;
  leaf->CeilRate = kLeafCeil;
  if (!settings.htb.Add(HTB_Manager::kSendRootID, leaf)) {
    return false;
  }
  AdapterTable adapters;
  SettingsStore store(folder, settings, adapters, dialogs);
  return store.SaveAllSettings();
}

void WriteFlows(const std::filesystem::path& file, const Interface& interface) {
  std::ofstream(file) << "adapter " << interface.name << "\nflow " << interface.name << " send tcp "
                      << FormatIpv4(interface.address) << ":50000 198.51.100.7:80 1M size=1000\n";
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace harlune::testing
