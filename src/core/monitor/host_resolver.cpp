#include "core/monitor/host_resolver.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "core/base/text_encoding.h"
#include "protocol/ip_address.h"

namespace harlune {

namespace {

// The addresses that name this machine itself.
bool NamesThisHost(const IpAddress& address) {
  return address.IsUnspecified() || IsLocalHostAddress(address);
}

constexpr std::string_view kAliasSuffix = " (Alias)";

// A name from the network as one line of valid UTF-8 of at most `maxBytes`
// bytes, cut between characters: it ends up in lists, log lines and command
// arguments.
std::string CleanName(std::string_view text, std::size_t maxBytes = kMaxHostNameBytes) {
  std::string clean;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t length = Utf8CharacterLength(text.substr(i));
    const auto lead = static_cast<unsigned char>(text[i]);
    const bool replaced = length == 0 || (length == 1 && (lead < 0x20 || lead == 0x7F));
    const std::size_t taken = replaced ? 1 : length;
    if (clean.size() + taken > maxBytes) {
      break;
    }
    if (replaced) {
      clean.push_back('?');
    } else {
      clean.append(text.substr(i, length));
    }
    i += taken;
  }
  return clean;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

template <std::size_t N>
bool IsOneOf(std::string_view label, const std::array<std::string_view, N>& labels) {
  for (const std::string_view candidate : labels) {
    if (EqualsIgnoringCase(label, candidate)) {
      return true;
    }
  }
  return false;
}

// A top-level label that reads as a number the way atoi reads it (leading
// blanks, a sign, digits): a non-zero value, or exactly "0".
bool IsNumericLabel(std::string_view label) {
  if (label == "0") {
    return true;
  }
  std::size_t i = 0;
  while (i < label.size() && (label[i] == ' ' || (label[i] >= '\t' && label[i] <= '\r'))) {
    ++i;
  }
  if (i < label.size() && (label[i] == '+' || label[i] == '-')) {
    ++i;
  }
  for (; i < label.size() && label[i] >= '0' && label[i] <= '9'; ++i) {
    if (label[i] != '0') {
      return true;
    }
  }
  return false;
}

constexpr std::array<std::string_view, 14> kGenericLabels = {"com", "net",    "org",  "edu", "gov",
                                                             "mil", "int",    "info", "biz", "name",
                                                             "pro", "museum", "aero", "coop"};
constexpr std::array<std::string_view, 9> kJpSecondLevelLabels = {"ac", "co", "go", "or", "ad",
                                                                  "ne", "gr", "ed", "lg"};

}  // namespace

std::string ResolveHostName(HostNameLookup& lookup, const IpAddress& address,
                            std::optional<std::string_view> localHostName) {
  if (NamesThisHost(address)) {
    if (localHostName && !localHostName->empty()) {
      return CleanName(*localHostName);
    }
    return address.IsUnspecified() ? address.ToText() : std::string("localhost");
  }
  const std::optional<ReverseLookupAnswer> answer = lookup.ReverseLookup(address);
  if (answer) {
    if (!answer->officialName.empty()) {
      return CleanName(answer->officialName);
    }
    if (!answer->firstAlias.empty()) {
      return CleanName(answer->firstAlias, kMaxHostNameBytes - kAliasSuffix.size()) +
             std::string(kAliasSuffix);
    }
  }
  return address.ToText();
}

std::string DomainOfHost(std::string_view hostName) {
  const std::size_t topDot = hostName.rfind('.');
  if (topDot == std::string_view::npos) {
    return {};
  }
  const std::string_view top = hostName.substr(topDot + 1);
  if (IsNumericLabel(top)) {
    return {};
  }
  const std::string_view rest = hostName.substr(0, topDot);
  const std::size_t secondDot = rest.rfind('.');
  if (secondDot == std::string_view::npos) {
    return {};
  }
  const std::string_view second = rest.substr(secondDot + 1);
  if (IsOneOf(top, kGenericLabels) ||
      (EqualsIgnoringCase(top, "jp") && !IsOneOf(second, kJpSecondLevelLabels))) {
    return std::string(hostName.substr(secondDot + 1));
  }
  const std::size_t thirdDot = rest.substr(0, secondDot).rfind('.');
  return std::string(hostName.substr(thirdDot == std::string_view::npos ? 0 : thirdDot + 1));
}

// Everything the owner and the worker share; the worker holds its own
// reference so that a worker left in a lookup after Stop() never touches a
// destroyed resolver.
struct HostResolver::Shared {
  explicit Shared(std::shared_ptr<HostNameLookup> nameLookup, bool resolve)
      : lookup(std::move(nameLookup)), resolveHost(resolve) {}

  const std::shared_ptr<HostNameLookup> lookup;

  mutable std::mutex mutex;
  std::condition_variable wake;          // the worker waits here
  mutable std::condition_variable idle;  // WaitUntilIdle waits here
  std::map<IpAddress, std::string> cache;
  std::deque<IpAddress> queue;  // newest at the back
  std::set<IpAddress> queued;   // the queue's addresses
  std::size_t ringPosition = 0;
  bool resolveHost;
  bool stop = false;
  bool busy = true;  // the worker starts with the identity step
  std::optional<LocalHostIdentity> identity;
  std::string identityProblem;
  bool identityReported = false;

  bool IsIdle() const { return !busy && (stop || !resolveHost || queue.empty()); }
};

HostResolver::HostResolver(std::shared_ptr<HostNameLookup> lookup, bool resolveHost)
    : shared_(std::make_shared<Shared>(std::move(lookup), resolveHost)),
      worker_([shared = shared_] { Work(shared); }) {}

HostResolver::~HostResolver() { Stop(); }

void HostResolver::Work(const std::shared_ptr<Shared>& shared) {
  LocalHostIdentity identity;
  std::string problem;
  try {
    std::optional<std::string> name = shared->lookup->LocalHostName();
    if (!name || name->empty()) {
      problem = kHostNameError;
    } else {
      identity.name = CleanName(*name);
      const std::optional<std::uint32_t> address = shared->lookup->FirstAddressOf(*name);
      if (address) {
        identity.address = *address;
      } else {
        problem = kHostAddressError;
      }
    }
  } catch (const std::exception&) {
    problem = identity.name.empty() ? kHostNameError : kHostAddressError;
  }

  std::unique_lock lock(shared->mutex);
  shared->identity = std::move(identity);
  shared->identityProblem = std::move(problem);
  shared->busy = false;
  shared->idle.notify_all();

  for (;;) {
    shared->wake.wait(
        lock, [&] { return shared->stop || (shared->resolveHost && !shared->queue.empty()); });
    if (shared->stop) {
      break;
    }
    const IpAddress address = shared->queue.back();
    shared->queue.pop_back();
    shared->queued.erase(address);
    shared->busy = true;
    lock.unlock();

    std::string name;
    try {
      name = ResolveHostName(*shared->lookup, address);
    } catch (const std::exception&) {
      name = address.ToText();
    }

    lock.lock();
    shared->busy = false;
    if (shared->stop) {
      break;
    }
    if (shared->cache.emplace(address, std::move(name)).second &&
        ++shared->ringPosition == kHostCacheRingSize) {
      shared->ringPosition = 0;
      shared->cache.clear();
    }
    shared->idle.notify_all();
  }
  shared->idle.notify_all();
}

std::string HostResolver::CachedName(const IpAddress& address) const {
  const std::lock_guard lock(shared_->mutex);
  const auto found = shared_->cache.find(address);
  return found == shared_->cache.end() ? std::string() : found->second;
}

void HostResolver::QueueLookup(const IpAddress& address) {
  {
    const std::lock_guard lock(shared_->mutex);
    if (!shared_->resolveHost || shared_->stop || shared_->cache.contains(address) ||
        !shared_->queued.insert(address).second) {
      return;
    }
    shared_->queue.push_back(address);
  }
  shared_->wake.notify_one();
}

void HostResolver::SetResolveHost(bool on) {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->resolveHost = on;
    shared_->idle.notify_all();
  }
  shared_->wake.notify_one();
}

void HostResolver::Stop() {
  bool busy = false;
  {
    const std::lock_guard lock(shared_->mutex);
    if (!worker_.joinable()) {
      return;
    }
    shared_->stop = true;
    busy = shared_->busy;
  }
  shared_->wake.notify_one();
  // A worker that is not in a lookup sees the flag before it could start
  // one, so joining it is prompt; a busy one may be stuck in the name
  // service for a long time and keeps the shared state alive by itself.
  if (busy) {
    worker_.detach();
  } else {
    worker_.join();
  }
}

bool HostResolver::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->idle.wait_for(lock, timeout, [&] { return shared_->IsIdle(); });
}

std::optional<LocalHostIdentity> HostResolver::LocalIdentity() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->identity;
}

void HostResolver::ReportIdentityProblem(UserDialogs& dialogs) {
  std::string message;
  {
    const std::lock_guard lock(shared_->mutex);
    if (!shared_->identity || shared_->identityProblem.empty() || shared_->identityReported) {
      return;
    }
    shared_->identityReported = true;
    message = shared_->identityProblem;
  }
  dialogs.ShowMessage(message);
}

}  // namespace harlune
