#pragma once

// TCP sockets of either family for tests that need real connections in the
// system's table, IPv6 and dual-stack ones included.

#include <cstdint>
#include <string>

namespace harlune::testing {

class InetSocket {
 public:
  // A new TCP socket of the family (AF_INET or AF_INET6), or an accepted
  // one. Receives time out after two seconds so that a test that goes wrong
  // does not hang.
  static InetSocket Open(int family);
  explicit InetSocket(int fd);
  InetSocket(InetSocket&& other) noexcept;
  InetSocket& operator=(InetSocket&&) = delete;
  ~InetSocket();

  int Fd() const { return fd_; }
  // The local port, network order as the TCP table stores it.
  std::uint32_t Port() const;

  // Binds to the address on the port (stored form; 0 for a free one) and
  // listens; an IPv6 socket bound to "::" takes IPv4 clients too.
  bool Listen(const std::string& address, std::uint32_t port = 0);
  bool ConnectTo(const std::string& address, std::uint32_t port);
  InetSocket Accept() const;

  // The errno of the next receive; 0 when it did not fail (a byte or the
  // peer's orderly end).
  int ReceiveError() const;
  // Whether the next receive gets a byte.
  bool ReceivesByte() const;
  bool SendByte() const;

 private:
  int fd_;
};

// A connection to a listener and its accepted end.
struct InetPair {
  InetSocket client;
  InetSocket server;
  // Whether a byte from the client reaches the server.
  bool Exchanges() const { return client.SendByte() && server.ReceivesByte(); }
};

// Connects a new socket of the family to the listener at the address.
InetPair ConnectPair(const InetSocket& listener, int clientFamily, const std::string& address);

}  // namespace harlune::testing
