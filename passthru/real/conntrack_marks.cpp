#include "passthru/real/conntrack_marks.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <sys/socket.h>

namespace harlune {
namespace {

constexpr std::size_t kMessageBytes = 512;
constexpr std::size_t kDumpBufferBytes = 64 * 1024;

// A connection read from the table whose mark had bits of the mask: its
// original tuple and zone as the kernel wrote them, to name it again.
struct MarkedConnection {
  std::uint8_t family = 0;
  std::vector<std::uint8_t> tuple;
  std::vector<std::uint8_t> zone;
};

struct DumpContext {
  std::uint32_t mask = 0;
  std::vector<MarkedConnection>* marked = nullptr;
};

nlmsghdr* PutHeader(char* buffer, std::uint8_t type, std::uint16_t flags, std::uint8_t family,
                    unsigned sequence) {
  nlmsghdr* message = mnl_nlmsg_put_header(buffer);
  message->nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | type;
  message->nlmsg_flags = NLM_F_REQUEST | flags;
  message->nlmsg_seq = sequence;
  auto* generic = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  generic->nfgen_family = family;
  generic->version = NFNETLINK_V0;
  generic->res_id = 0;
  return message;
}

void PutAddresses(nlmsghdr* message, const FlowTuple& tuple) {
  nlattr* ip = mnl_attr_nest_start(message, CTA_TUPLE_IP);
  if (tuple.family == IpFamily::Ipv4) {
    mnl_attr_put_u32(message, CTA_IP_V4_SRC, tuple.source.Ipv4Value());
    mnl_attr_put_u32(message, CTA_IP_V4_DST, tuple.destination.Ipv4Value());
  } else {
    mnl_attr_put(message, CTA_IP_V6_SRC, 16, tuple.source.Ipv6Bytes().data());
    mnl_attr_put(message, CTA_IP_V6_DST, 16, tuple.destination.Ipv6Bytes().data());
  }
  mnl_attr_nest_end(message, ip);
}

void PutTuple(nlmsghdr* message, const FlowTuple& tuple) {
  nlattr* whole = mnl_attr_nest_start(message, CTA_TUPLE_ORIG);
  PutAddresses(message, tuple);
  nlattr* proto = mnl_attr_nest_start(message, CTA_TUPLE_PROTO);
  mnl_attr_put_u8(message, CTA_PROTO_NUM, tuple.protocol);
  mnl_attr_put_u16(message, CTA_PROTO_SRC_PORT, tuple.sourcePort);
  mnl_attr_put_u16(message, CTA_PROTO_DST_PORT, tuple.destinationPort);
  mnl_attr_nest_end(message, proto);
  mnl_attr_nest_end(message, whole);
}

void PutMark(nlmsghdr* message, std::uint32_t value, std::uint32_t mask) {
  // The kernel keeps the bits outside CTA_MARK_MASK and takes the rest
  // from CTA_MARK.
  mnl_attr_put_u32(message, CTA_MARK, htonl(value & mask));
  mnl_attr_put_u32(message, CTA_MARK_MASK, htonl(mask));
}

std::vector<std::uint8_t> Copy(const nlattr* attribute) {
  if (attribute == nullptr) {
    return {};
  }
  const auto* bytes = static_cast<const std::uint8_t*>(mnl_attr_get_payload(attribute));
  return {bytes, bytes + mnl_attr_get_payload_len(attribute)};
}

int OnConnection(const nlmsghdr* message, void* data) {
  auto& context = *static_cast<DumpContext*>(data);
  const nlattr* attributes[CTA_MAX + 1] = {};
  mnl_attr_parse(
      message, sizeof(nfgenmsg),
      [](const nlattr* attribute, void* found) {
        const auto type = mnl_attr_get_type(attribute);
        if (type <= CTA_MAX) {
          static_cast<const nlattr**>(found)[type] = attribute;
        }
        return MNL_CB_OK;
      },
      attributes);
  const nlattr* mark = attributes[CTA_MARK];
  if (mark == nullptr || attributes[CTA_TUPLE_ORIG] == nullptr ||
      (ntohl(mnl_attr_get_u32(mark)) & context.mask) == 0) {
    return MNL_CB_OK;
  }
  const auto* generic = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(message));
  context.marked->push_back(
      {generic->nfgen_family, Copy(attributes[CTA_TUPLE_ORIG]), Copy(attributes[CTA_ZONE])});
  return MNL_CB_OK;
}

// Reads the whole table (every family), keeping the connections whose mark
// has bits of `mask`.
bool DumpMarked(mnl_socket* socket, std::uint32_t portId, unsigned sequence, std::uint32_t mask,
                std::vector<MarkedConnection>& marked) {
  std::vector<char> buffer(kDumpBufferBytes);
  nlmsghdr* request = PutHeader(buffer.data(), IPCTNL_MSG_CT_GET, NLM_F_DUMP, AF_UNSPEC, sequence);
  if (mnl_socket_sendto(socket, request, request->nlmsg_len) < 0) {
    return false;
  }
  DumpContext context{mask, &marked};
  int result = MNL_CB_OK;
  while (result > MNL_CB_STOP) {
    const ssize_t received = mnl_socket_recvfrom(socket, buffer.data(), buffer.size());
    if (received < 0) {
      return false;
    }
    result = mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), sequence, portId,
                        OnConnection, &context);
  }
  return result == MNL_CB_STOP;
}

}  // namespace

FlowTuple HeaderTupleOf(const Packet& packet) {
  const bool sending = packet.direction == Direction::Send;
  return {packet.family,
          packet.protocol,
          sending ? packet.localAddress : packet.remoteAddress,
          sending ? packet.remoteAddress : packet.localAddress,
          sending ? packet.localPort : packet.remotePort,
          sending ? packet.remotePort : packet.localPort};
}

ConntrackMarks::~ConntrackMarks() {
  if (socket_ != nullptr) {
    mnl_socket_close(socket_);
  }
}

std::string ConntrackMarks::Open() {
  socket_ = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
  if (socket_ == nullptr || mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
    const std::string reason = std::strerror(errno);
    if (socket_ != nullptr) {
      mnl_socket_close(socket_);
      socket_ = nullptr;
    }
    return "cannot open a conntrack socket: " + reason;
  }
  portId_ = mnl_socket_get_portid(socket_);
  return {};
}

bool ConntrackMarks::Acknowledged(unsigned sequence) {
  char reply[kMessageBytes * 2];
  const ssize_t received = mnl_socket_recvfrom(socket_, reply, sizeof reply);
  return received >= 0 && mnl_cb_run(reply, static_cast<std::size_t>(received), sequence, portId_,
                                     nullptr, nullptr) >= 0;
}

bool ConntrackMarks::Set(const FlowTuple& tuple, std::uint32_t value, std::uint32_t mask) {
  if (socket_ == nullptr) {
    return false;
  }
  char buffer[kMessageBytes];
  const std::uint8_t family = tuple.family == IpFamily::Ipv4 ? AF_INET : AF_INET6;
  // Without NLM_F_CREATE an update: a connection that is not there is not
  // made.
  nlmsghdr* message = PutHeader(buffer, IPCTNL_MSG_CT_NEW, NLM_F_ACK, family, ++sequence_);
  PutTuple(message, tuple);
  PutMark(message, value, mask);
  return mnl_socket_sendto(socket_, message, message->nlmsg_len) >= 0 && Acknowledged(sequence_);
}

int ConntrackMarks::ClearAll(std::uint32_t mask) {
  std::vector<MarkedConnection> marked;
  if (socket_ == nullptr || !DumpMarked(socket_, portId_, ++sequence_, mask, marked)) {
    return -1;
  }
  char buffer[kMessageBytes];
  for (const MarkedConnection& connection : marked) {
    nlmsghdr* message =
        PutHeader(buffer, IPCTNL_MSG_CT_NEW, NLM_F_ACK, connection.family, ++sequence_);
    mnl_attr_put(message, CTA_TUPLE_ORIG | NLA_F_NESTED, connection.tuple.size(),
                 connection.tuple.data());
    if (!connection.zone.empty()) {
      mnl_attr_put(message, CTA_ZONE, connection.zone.size(), connection.zone.data());
    }
    PutMark(message, 0, mask);
    // A connection that ended meanwhile is fine.
    if (mnl_socket_sendto(socket_, message, message->nlmsg_len) >= 0) {
      Acknowledged(sequence_);
    }
  }
  return static_cast<int>(marked.size());
}

}  // namespace harlune
