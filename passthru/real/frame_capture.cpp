#include "passthru/real/frame_capture.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>

namespace harlune {
namespace {

constexpr unsigned kBlockBytes = 1U << 18;
constexpr unsigned kBlockCount = 16;
constexpr unsigned kFrameBytes = 2048;
// A block is handed over at the latest after this many milliseconds, so that
// slow traffic still reaches the capture records promptly. The kernel's
// timer only rearms itself while the block is empty, so an idle interface
// never wakes the daemon.
constexpr unsigned kBlockTimeoutMilliseconds = 20;
constexpr unsigned kSnapBytes = 128;

std::string Failed(const std::string& what) { return what + ": " + std::strerror(errno); }

// Classic BPF: keep IPv4 and IPv6 frames (Ethernet type 0x0800 or 0x86DD),
// cut to kSnapBytes.
bool AttachIpFilter(int fd) {
  sock_filter code[] = {
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, 12},
      {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, ETH_P_IP},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, ETH_P_IPV6},
      {BPF_RET | BPF_K, 0, 0, kSnapBytes},
      {BPF_RET | BPF_K, 0, 0, 0},
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

}  // namespace

FrameCapture::~FrameCapture() {
  if (ring_ != nullptr) {
    ::munmap(ring_, ringBytes_);
  }
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

std::string FrameCapture::SetUpRing() {
  const int version = TPACKET_V3;
  if (::setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) {
    return Failed("cannot use TPACKET_V3");
  }
  tpacket_req3 request{};
  request.tp_block_size = kBlockBytes;
  request.tp_block_nr = kBlockCount;
  request.tp_frame_size = kFrameBytes;
  request.tp_frame_nr = kBlockBytes / kFrameBytes * kBlockCount;
  request.tp_retire_blk_tov = kBlockTimeoutMilliseconds;
  if (::setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) != 0) {
    return Failed("cannot make the capture ring");
  }
  blockBytes_ = kBlockBytes;
  blockCount_ = kBlockCount;
  ringBytes_ = blockBytes_ * blockCount_;
  void* mapped = ::mmap(nullptr, ringBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (mapped == MAP_FAILED) {
    return Failed("cannot map the capture ring");
  }
  ring_ = static_cast<std::uint8_t*>(mapped);
  return {};
}

std::string FrameCapture::Open(const std::string& interfaceName) {
  const unsigned index = ::if_nametoindex(interfaceName.c_str());
  if (index == 0) {
    return Failed("no interface " + interfaceName);
  }
  // Protocol 0 until bound: no frame arrives before the filter is in place.
  fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    return Failed("cannot open a packet socket");
  }
  ifreq request{};
  std::strncpy(request.ifr_name, interfaceName.c_str(), IFNAMSIZ - 1);
  if (::ioctl(fd_, SIOCGIFHWADDR, &request) != 0 || request.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
    return interfaceName + " is not an Ethernet interface";
  }
  if (!AttachIpFilter(fd_)) {
    return Failed("cannot filter the packet socket");
  }
  if (std::string error = SetUpRing(); !error.empty()) {
    return error;
  }
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(index);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return Failed("cannot bind the packet socket to " + interfaceName);
  }
  return {};
}

void FrameCapture::Receive(const Handler& handler) {
  if (ring_ == nullptr) {
    return;
  }
  for (std::size_t turn = 0; turn < blockCount_; ++turn) {
    auto* block = reinterpret_cast<tpacket_block_desc*>(ring_ + nextBlock_ * blockBytes_);
    if ((__atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0) {
      return;
    }
    const std::uint8_t* at =
        reinterpret_cast<const std::uint8_t*>(block) + block->hdr.bh1.offset_to_first_pkt;
    for (std::uint32_t i = 0; i < block->hdr.bh1.num_pkts; ++i) {
      const auto* header = reinterpret_cast<const tpacket3_hdr*>(at);
      const auto* link =
          reinterpret_cast<const sockaddr_ll*>(at + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
      handler({{at + header->tp_mac, header->tp_snaplen},
               header->tp_len,
               link->sll_pkttype == PACKET_OUTGOING,
               std::uint64_t{header->tp_sec} * 1'000'000'000u + header->tp_nsec});
      at += header->tp_next_offset;
    }
    __atomic_store_n(&block->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    nextBlock_ = (nextBlock_ + 1) % blockCount_;
  }
}

std::uint32_t FrameCapture::TakeDropCount() {
  tpacket_stats_v3 statistics{};
  socklen_t length = sizeof statistics;
  if (::getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &statistics, &length) != 0) {
    return 0;
  }
  return statistics.tp_drops;
}

}  // namespace harlune
