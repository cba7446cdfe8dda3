#include "passthru/real/ruleset_monitor.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>

namespace harlune {

RulesetMonitor::~RulesetMonitor() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

std::string RulesetMonitor::Open() {
  fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_NETFILTER);
  if (fd_ < 0) {
    return std::string("cannot open a netfilter netlink socket: ") + std::strerror(errno);
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  const int group = NFNLGRP_NFTABLES;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::setsockopt(fd_, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return "cannot hear of nf_tables ruleset changes: " + reason;
  }
  return {};
}

bool RulesetMonitor::TakeChanges() {
  if (fd_ < 0) {
    return false;
  }
  bool changed = false;
  // The content does not matter: any announcement means "look again".
  char buffer[8192];
  while (true) {
    const ssize_t count = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count > 0 || (count < 0 && errno == ENOBUFS)) {
      changed = true;
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      return changed;  // EAGAIN: all read
    }
  }
}

}  // namespace harlune
