#include "passthru/real/verdict_queue.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <sys/socket.h>

namespace harlune {
namespace {

// Enough for the IPv4 header with options and a TCP header with options:
// the engine reads no further.
constexpr int kCopyRange = 128;
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
constexpr std::size_t kRequestBufferBytes = 8192;
// Packets handled by one call, so that a flood never keeps the daemon's loop
// from its clients: the socket stays readable and the loop comes back.
constexpr int kMaxPacketsPerReceive = 256;
// Packets taken by one system call. A packet's message holds its first
// kCopyRange bytes and a few attributes, far below the slot size.
constexpr unsigned kMessagesPerCall = 64;
constexpr std::size_t kMessageSlotBytes = 4096;
// A verdict message is 32 bytes; the batch is sent before it could overflow.
constexpr std::size_t kVerdictBufferBytes = 64 * 1024;
constexpr std::size_t kVerdictRoom = 256;

struct ParseContext {
  const VerdictQueue::Handler* handler;
};

std::uint32_t AttributeU32(nlattr* attribute) {
  return attribute == nullptr ? 0 : ntohl(mnl_attr_get_u32(attribute));
}

int OnPacket(const nlmsghdr* message, void* data) {
  nlattr* attributes[NFQA_MAX + 1] = {};
  if (nfq_nlmsg_parse(message, attributes) < 0 || attributes[NFQA_PACKET_HDR] == nullptr) {
    return MNL_CB_OK;
  }
  const auto* header =
      static_cast<const nfqnl_msg_packet_hdr*>(mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
  QueuedPacket packet;
  packet.id = ntohl(header->packet_id);
  packet.inInterface = AttributeU32(attributes[NFQA_IFINDEX_INDEV]);
  packet.outInterface = AttributeU32(attributes[NFQA_IFINDEX_OUTDEV]);
  if (attributes[NFQA_PAYLOAD] != nullptr) {
    packet.ip = {static_cast<const std::uint8_t*>(mnl_attr_get_payload(attributes[NFQA_PAYLOAD])),
                 mnl_attr_get_payload_len(attributes[NFQA_PAYLOAD])};
  }
  // The kernel gives the whole length only when it cut the copy.
  packet.length = attributes[NFQA_CAP_LEN] != nullptr
                      ? AttributeU32(attributes[NFQA_CAP_LEN])
                      : static_cast<std::uint32_t>(packet.ip.size());
  (*static_cast<ParseContext*>(data)->handler)(packet);
  return MNL_CB_OK;
}

}  // namespace

VerdictQueue::~VerdictQueue() {
  if (socket_ != nullptr) {
    mnl_socket_close(socket_);
  }
}

int VerdictQueue::Fd() const { return socket_ == nullptr ? -1 : mnl_socket_get_fd(socket_); }

bool VerdictQueue::SendAndAcknowledge(std::vector<char>& buffer) {
  auto* message = reinterpret_cast<nlmsghdr*>(buffer.data());
  message->nlmsg_flags |= NLM_F_ACK;
  message->nlmsg_seq = ++sequence_;
  if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) {
    return false;
  }
  std::vector<char> reply(kRequestBufferBytes);
  const ssize_t received = mnl_socket_recvfrom(socket_, reply.data(), reply.size());
  return received >= 0 && mnl_cb_run(reply.data(), static_cast<std::size_t>(received), sequence_,
                                     portId_, nullptr, nullptr) >= 0;
}

std::string VerdictQueue::Configure(std::uint32_t maxLength) {
  std::vector<char> buffer(kRequestBufferBytes);
  nfq_nlmsg_cfg_put_cmd(nfq_nlmsg_put(buffer.data(), NFQNL_MSG_CONFIG, queueNumber_), AF_INET,
                        NFQNL_CFG_CMD_BIND);
  if (!SendAndAcknowledge(buffer)) {
    return std::string("cannot bind the verdict queue: ") + std::strerror(errno);
  }
  nlmsghdr* message = nfq_nlmsg_put(buffer.data(), NFQNL_MSG_CONFIG, queueNumber_);
  nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, kCopyRange);
  nfq_nlmsg_cfg_put_qmaxlen(message, maxLength);
  // Fail-open: a full queue lets packets pass instead of dropping them.
  constexpr std::uint32_t kFlags = NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO;
  mnl_attr_put_u32(message, NFQA_CFG_FLAGS, htonl(kFlags));
  mnl_attr_put_u32(message, NFQA_CFG_MASK, htonl(kFlags));
  if (!SendAndAcknowledge(buffer)) {
    return std::string("cannot configure the verdict queue: ") + std::strerror(errno);
  }
  return {};
}

std::string VerdictQueue::Open(std::uint16_t queueNumber, std::uint32_t maxLength) {
  queueNumber_ = queueNumber;
  socket_ = mnl_socket_open(NETLINK_NETFILTER);
  if (socket_ == nullptr || mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
    return std::string("cannot open a netfilter socket: ") + std::strerror(errno);
  }
  portId_ = mnl_socket_get_portid(socket_);
  const int fd = mnl_socket_get_fd(socket_);
  // A burst must not overflow the socket; when it does anyway, the lost
  // messages are not reported as errors on every later read.
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  const int on = 1;
  ::setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
  if (std::string error = Configure(maxLength); !error.empty()) {
    return error;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  receiveBuffer_.resize(kMessagesPerCall * kMessageSlotBytes);
  verdicts_.resize(kVerdictBufferBytes);
  return {};
}

int VerdictQueue::ReceiveBatch(const Handler& handler) {
  iovec slots[kMessagesPerCall];
  mmsghdr messages[kMessagesPerCall] = {};
  for (unsigned i = 0; i < kMessagesPerCall; ++i) {
    slots[i] = {receiveBuffer_.data() + i * kMessageSlotBytes, kMessageSlotBytes};
    messages[i].msg_hdr.msg_iov = &slots[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const int received = ::recvmmsg(Fd(), messages, kMessagesPerCall, MSG_DONTWAIT, nullptr);
  ParseContext context{&handler};
  for (int i = 0; i < received; ++i) {
    // Each datagram is parsed on its own: an error message (a verdict for a
    // packet the kernel no longer holds) ends only its own parse.
    mnl_cb_run(slots[i].iov_base, messages[i].msg_len, 0, portId_, OnPacket, &context);
  }
  return received;
}

void VerdictQueue::Receive(const Handler& handler) {
  if (socket_ == nullptr) {
    return;
  }
  for (int read = 0; read < kMaxPacketsPerReceive;) {
    const int received = ReceiveBatch(handler);
    Flush();
    if (received < static_cast<int>(kMessagesPerCall)) {
      return;  // nothing more waits (EAGAIN), or a lost burst (fail-open let it pass)
    }
    read += received;
  }
}

void VerdictQueue::Verdict(std::uint32_t id, bool accept) {
  if (socket_ == nullptr) {
    return;
  }
  if (verdictBytes_ + kVerdictRoom > verdicts_.size()) {
    Flush();
  }
  nlmsghdr* message =
      nfq_nlmsg_put(verdicts_.data() + verdictBytes_, NFQNL_MSG_VERDICT, queueNumber_);
  nfq_nlmsg_verdict_put(message, static_cast<int>(id), accept ? NF_ACCEPT : NF_DROP);
  verdictBytes_ += NLMSG_ALIGN(message->nlmsg_len);
}

void VerdictQueue::Flush() {
  if (verdictBytes_ == 0) {
    return;
  }
  // The kernel takes every message of one send in turn.
  mnl_socket_sendto(socket_, verdicts_.data(), verdictBytes_);
  verdictBytes_ = 0;
}

}  // namespace harlune
