#include "tty_transport.h"

#include <cerrno>
#include <cstring>

namespace pelorus {
namespace {

PortError::Kind KindOf(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return PortError::Kind::kMissing;
    case EACCES:
    case EPERM:
      return PortError::Kind::kPermissionDenied;
    case EBUSY:
      return PortError::Kind::kBusy;
    case ENOTTY:
      return PortError::Kind::kNotATerminal;
    default:
      return PortError::Kind::kOther;
  }
}

}  // namespace

std::unique_ptr<TtyTransport> TtyTransport::Open(const std::string& path, PortError* error) {
  std::unique_ptr<TtyTransport> transport(new TtyTransport(path));
  if (const int failure = transport->port_.Open(path); failure != 0) {
    *error = OpenError(path, failure);
    return nullptr;
  }
  return transport;
}

PortError TtyTransport::OpenError(const std::string& path, int failure) {
  return PortError{KindOf(failure), path, std::strerror(failure)};
}

bool TtyTransport::Configure(const PortSettings& settings, const OpenWaiter&, PortError* error) {
  if (port_.Configure(settings)) {
    return true;
  }
  *error = PortError{PortError::Kind::kLineSettingsRefused, path_,
                     "the device does not take these line settings"};
  return false;
}

int TtyTransport::Read(char* buffer, std::size_t count, ReadStatus* status) {
  *status = ReadStatus::kNothing;
  // Asking first takes exactly what is waiting, and a gone device shows here as EIO/ENXIO.
  const int waiting = port_.BytesWaiting();
  if (waiting < 0 && (errno == EIO || errno == ENXIO)) {
    *status = ReadStatus::kLost;
    return 0;
  }
  if (waiting <= 0) {
    return 0;
  }
  const std::size_t wanted =
      static_cast<std::size_t>(waiting) < count ? static_cast<std::size_t>(waiting) : count;
  return port_.Read(buffer, wanted, status);
}

Transport::WriteResult TtyTransport::Write(const char* bytes, std::size_t count,
                                           std::chrono::milliseconds timeout) {
  return port_.Write(bytes, count, timeout);
}

}  // namespace pelorus
