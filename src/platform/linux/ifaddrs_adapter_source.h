#pragma once

// The machine's network adapters from getifaddrs: every interface except
// loopback, in interface-index order, with its IPv4 addresses and its IPv6
// addresses (link-local ones included). An interface without an IPv4
// address carries the single IPv4 address 0.0.0.0. The
// description is the interface alias when one is set, else the kernel
// driver's name with the interface name ("virtio_net (eth0)"), else the
// interface name.

#include <filesystem>

#include "core/monitor/adapter_source.h"

namespace harlune {

class IfaddrsAdapterSource : public AdapterSource {
 public:
  // sysClassNet: the folder holding one folder per interface with its
  // "ifalias" file.
  explicit IfaddrsAdapterSource(std::filesystem::path sysClassNet = "/sys/class/net");

  // Failed with errno when getifaddrs fails; NoData when no interface but
  // loopback exists.
  AdapterListResult ListAdapters() override;

 private:
  std::filesystem::path sysClassNet_;
};

}  // namespace harlune
