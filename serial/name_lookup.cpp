#include "name_lookup.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace pelorus {
namespace {

// What the caller and the resolver thread share; whoever lets go last frees it, so a caller
// that gave up leaves nothing behind once the resolver returns.
struct Lookup {
  Lookup() : done_event(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Lookup() {
    if (done_event >= 0) {
      close(done_event);
    }
  }
  Lookup(const Lookup&) = delete;
  Lookup& operator=(const Lookup&) = delete;

  const int done_event;
  std::mutex mutex;
  bool done = false;
  int status = 0;      // getaddrinfo's result
  int system_err = 0;  // errno with EAI_SYSTEM
  std::vector<SocketAddress> addresses;
};

int Resolve(const std::string& host, const std::string& port, int flags,
            std::vector<SocketAddress>* addresses, int* system_err) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | flags;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  *system_err = errno;
  if (status != 0) {
    return status;
  }
  for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
    SocketAddress address{};
    std::memcpy(&address.storage, each->ai_addr, each->ai_addrlen);
    address.length = each->ai_addrlen;
    addresses->push_back(address);
  }
  freeaddrinfo(found);
  return 0;
}

PortError Failure(int status, int system_err, const std::string& target) {
  if (status == EAI_SYSTEM) {
    return PortError{PortError::Kind::kOther, target, std::strerror(system_err)};
  }
  const bool unknown = status == EAI_NONAME || status == EAI_AGAIN || status == EAI_FAIL ||
                       status == EAI_NODATA || status == EAI_ADDRFAMILY;
  return PortError{unknown ? PortError::Kind::kUnreachable : PortError::Kind::kOther, target,
                   gai_strerror(status)};
}

}  // namespace

bool LookUpAddresses(const std::string& host, const std::string& port, const std::string& target,
                     const OpenWaiter& waiter, std::chrono::steady_clock::time_point deadline,
                     std::vector<SocketAddress>* addresses, PortError* error) {
  int system_err = 0;
  const int numeric = Resolve(host, port, AI_NUMERICHOST, addresses, &system_err);
  if (numeric != EAI_NONAME) {
    if (numeric != 0) {
      *error = Failure(numeric, system_err, target);
    }
    return numeric == 0;
  }

  auto lookup = std::make_shared<Lookup>();
  if (lookup->done_event < 0) {
    *error = PortError{PortError::Kind::kOther, target, std::strerror(errno)};
    return false;
  }
  try {
    std::thread([lookup, host, port] {
      std::vector<SocketAddress> found;
      int err = 0;
      const int status = Resolve(host, port, 0, &found, &err);
      std::lock_guard<std::mutex> lock(lookup->mutex);
      lookup->status = status;
      lookup->system_err = err;
      lookup->addresses = std::move(found);
      lookup->done = true;
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t written = write(lookup->done_event, &one, sizeof one);
    }).detach();
  } catch (const std::system_error& e) {
    *error = PortError{PortError::Kind::kOther, target, e.what()};
    return false;
  }

  for (;;) {
    {
      std::lock_guard<std::mutex> lock(lookup->mutex);
      if (lookup->done) {
        if (lookup->status != 0) {
          *error = Failure(lookup->status, lookup->system_err, target);
          return false;
        }
        *addresses = std::move(lookup->addresses);
        return true;
      }
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waiter.wait_ready(lookup->done_event, POLLIN, left)) {
      *error = PortError{PortError::Kind::kTimedOut, target,
                         "the name lookup of " + host + " took too long"};
      return false;
    }
  }
}

}  // namespace pelorus
