#include "pseudo_terminal.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pelorus::devsim {
namespace {

std::string Failure(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

PseudoTerminal::~PseudoTerminal() {
  Close();
}

bool PseudoTerminal::Open(std::string* error) {
  Close();
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    *error = Failure("posix_openpt");
    return false;
  }
  char name[PATH_MAX] = {};
  const int flags = ::fcntl(master_, F_GETFL);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) < 0 || ::grantpt(master_) != 0 ||
      ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof(name)) != 0) {
    *error = Failure("preparing the pseudo-terminal");
    Close();
    return false;
  }
  slave_path_ = name;
  // Held for the whole run: while one slave fd stays open, the host's close and reopen is
  // invisible to the master instead of a hang-up that would leave it readable for ever.
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) {
    *error = Failure(name);
    Close();
    return false;
  }
  // Raw from the start: a line discipline would turn the device's CR into LF, echo the
  // host's bytes back to it and swallow 0x03 before the host has set the port up itself.
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  if (::tcsetattr(slave_, TCSANOW, &tio) != 0) {
    *error = Failure("tcsetattr");
    Close();
    return false;
  }
  return true;
}

bool PseudoTerminal::Link(const std::string& path, std::string* error) {
  char target[PATH_MAX] = {};
  if (::readlink(path.c_str(), target, sizeof(target) - 1) >= 0) {
    ::unlink(path.c_str());
  }
  if (::symlink(slave_path_.c_str(), path.c_str()) != 0) {
    *error = Failure(("--link " + path).c_str());
    return false;
  }
  link_path_ = path;
  return true;
}

int PseudoTerminal::WatchOpens(std::string* error) {
  if (watch_ < 0) {
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || ::inotify_add_watch(watch_, slave_path_.c_str(), IN_OPEN) < 0) {
      *error = Failure("watching the slave side");
      return -1;
    }
  }
  return watch_;
}

bool PseudoTerminal::TakeOpens() {
  alignas(inotify_event) char buffer[4096];
  bool opened = false;
  while (watch_ >= 0 && ::read(watch_, buffer, sizeof(buffer)) > 0) {
    opened = true;
  }
  return opened;
}

std::size_t PseudoTerminal::Unread() const {
  int count = 0;
  if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &count) != 0 || count < 0) {
    return 0;
  }
  return static_cast<std::size_t>(count);
}

void PseudoTerminal::RemoveLink() {
  if (link_path_.empty()) {
    return;
  }
  // Only our own link: another run may have taken the name over meanwhile.
  char target[PATH_MAX] = {};
  const ssize_t n = ::readlink(link_path_.c_str(), target, sizeof(target) - 1);
  if (n >= 0 && slave_path_ == std::string(target, static_cast<std::size_t>(n))) {
    ::unlink(link_path_.c_str());
  }
  link_path_.clear();
}

void PseudoTerminal::Close() {
  RemoveLink();
  if (watch_ >= 0) {
    ::close(watch_);
    watch_ = -1;
  }
  if (slave_ >= 0) {
    ::close(slave_);
    slave_ = -1;
  }
  if (master_ >= 0) {
    ::close(master_);
    master_ = -1;
  }
}

}  // namespace pelorus::devsim
