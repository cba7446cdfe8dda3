#pragma once

// Host names of remote addresses for the connection table. Reverse lookups
// block, so the owner's thread only reads a cache and queues addresses; one
// worker thread resolves the queue, newest address first, and fills the
// cache. Also the local host's own name and address, and the domain a host
// name is shortened to for %RemoteDomain%.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "core/base/user_dialogs.h"
#include "protocol/ip_address.h"

namespace harlune {

// The answer of a reverse lookup that found the address.
struct ReverseLookupAnswer {
  std::string officialName;  // may be empty
  std::string firstAlias;    // empty when the platform offers no alias
};

// The system's name service. Every call may block for as long as the name
// service takes, so only the resolver's worker calls them.
class HostNameLookup {
 public:
  virtual ~HostNameLookup() = default;

  // The names of an address of either family; nothing when the lookup
  // failed or found no name.
  virtual std::optional<ReverseLookupAnswer> ReverseLookup(const IpAddress& address) = 0;

  // The local host's name; nothing when the system cannot tell it.
  virtual std::optional<std::string> LocalHostName() = 0;

  // The first IPv4 address (network order) of a host name.
  virtual std::optional<std::uint32_t> FirstAddressOf(const std::string& hostName) = 0;
};

// A name holds at most this many bytes (a 256-byte buffer with its end).
inline constexpr std::size_t kMaxHostNameBytes = 255;

// The cache is emptied after this many new entries.
inline constexpr std::size_t kHostCacheRingSize = 10000;

inline constexpr std::string_view kHostNameError = "ホスト名取得エラー";
inline constexpr std::string_view kHostAddressError = "IP アドレス取得エラー";

// The name of an address, blocking: an unspecified address, 127.0.0.1 and
// ::1 are named by a non-empty `localHostName` when one is given, else by
// their text ("0.0.0.0", "::") and "localhost"; other addresses by their
// official name, else their first alias followed by " (Alias)", else (also
// when the lookup fails) their text. Never empty. Control characters and bytes that are not UTF-8
// become '?', and the name is cut to kMaxHostNameBytes.
std::string ResolveHostName(HostNameLookup& lookup, const IpAddress& address,
                            std::optional<std::string_view> localHostName = std::nullopt);

// The domain of a host name for %RemoteDomain%: "x.y.com" -> "y.com",
// "x.y.jp" -> "y.jp", "x.y.co.jp" -> "y.co.jp", "x.y.de" -> "x.y.de"; empty
// for a name of fewer than three labels or a numeric address.
std::string DomainOfHost(std::string_view hostName);

struct LocalHostIdentity {
  std::string name;         // empty when the system could not tell it
  std::uint32_t address{};  // network order; 0 when not found
};

class HostResolver {
 public:
  // Starts the worker, which first finds the local host identity and then
  // resolves queued addresses while `resolveHost` (RESOLVE_HOST) is on.
  explicit HostResolver(std::shared_ptr<HostNameLookup> lookup, bool resolveHost = true);

  // Stops the worker as Stop() does.
  ~HostResolver();

  HostResolver(const HostResolver&) = delete;
  HostResolver& operator=(const HostResolver&) = delete;

  // The cached name of an address, or empty. Never blocks on a lookup.
  std::string CachedName(const IpAddress& address) const;

  // Queues an address for the worker unless RESOLVE_HOST is off, the worker
  // stopped, or the address is already queued or cached.
  void QueueLookup(const IpAddress& address);

  // RESOLVE_HOST switched on or off. While off nothing is queued or
  // resolved; what is queued waits until it is on again.
  void SetResolveHost(bool on);

  // Ends the worker and returns without waiting for a lookup in progress:
  // an idle worker is joined at once, a busy one is left to finish its
  // system call on its own and its answer is dropped. Idempotent.
  void Stop();

  // Waits until no lookup is running and nothing resolvable is queued, or
  // the timeout passes; true when idle. Not for the user-interface thread.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;

  // The local host's name and address once the worker found them.
  std::optional<LocalHostIdentity> LocalIdentity() const;

  // Shows, once, the message of a failed local identity step
  // ("ホスト名取得エラー" or "IP アドレス取得エラー"). Called from the
  // owner's tick; does nothing before the step ended or when it succeeded.
  void ReportIdentityProblem(UserDialogs& dialogs);

 private:
  struct Shared;

  static void Work(const std::shared_ptr<Shared>& shared);

  std::shared_ptr<Shared> shared_;
  std::thread worker_;
};

}  // namespace harlune
