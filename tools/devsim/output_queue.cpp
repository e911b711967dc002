#include "output_queue.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace pelorus::devsim {
namespace {

constexpr std::uint64_t kFnvPrime = 1099511628211ULL;
// Upper bound of one write; the pty takes about 12 KB before it pushes back anyway.
constexpr std::size_t kMaxWrite = 65536;

std::uint64_t Mix(std::uint64_t digest, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    digest = (digest ^ ((value >> (8 * i)) & 0xFF)) * kFnvPrime;
  }
  return digest;
}

}  // namespace

OutputQueue::OutputQueue(int fd, const Pacing& pacing)
    : fd_(fd), pacing_(pacing), rng_(pacing.seed) {}

void OutputQueue::Push(Item item) {
  if (stopped_) {
    return;
  }
  if (items_.empty()) {
    // Byte pacing starts afresh after idleness rather than bursting out "overdue" bytes.
    next_byte_ = std::max(next_byte_, Clock::now());
  }
  items_.push_back(std::move(item));
}

void OutputQueue::AddBytes(std::string bytes) {
  AddData(Kind::kBytes, std::move(bytes));
}

void OutputQueue::AddFlood(std::string bytes) {
  AddData(Kind::kFlood, std::move(bytes));
}

// Empty data is never queued, so every data item makes progress when written.
void OutputQueue::AddData(Kind kind, std::string bytes) {
  if (!bytes.empty()) {
    Item item;
    item.kind = kind;
    item.data = std::move(bytes);
    Push(std::move(item));
  }
}

void OutputQueue::AddPause(std::chrono::microseconds pause) {
  Item item;
  item.kind = Kind::kPause;
  item.pause = pause;
  Push(std::move(item));
}

void OutputQueue::AddAction(std::function<void()> action) {
  Item item;
  item.kind = Kind::kAction;
  item.action = std::move(action);
  Push(std::move(item));
}

void OutputQueue::Stop() {
  stopped_ = true;
  items_.clear();
}

void OutputQueue::Resume(int fd) {
  fd_ = fd;
  stopped_ = false;
  pause_until_ = {};
  chunk_left_ = 0;
}

int OutputQueue::Draw(IntRange range) {
  return range.min +
         static_cast<int>(rng_() % static_cast<std::uint64_t>(range.max - range.min + 1));
}

void OutputQueue::Account(const char* data, std::size_t n) {
  bytes_written_ += n;
  for (std::size_t i = 0; i < n; ++i) {
    out_digest_ = (out_digest_ ^ static_cast<unsigned char>(data[i])) * kFnvPrime;
  }
}

OutputQueue::Status OutputQueue::Pump(Clock::time_point now) {
  while (!stopped_ && !items_.empty()) {
    if (now < pause_until_) {
      wake_ = pause_until_;
      return Status::kWaitTime;
    }
    Item& front = items_.front();
    if (front.kind == Kind::kPause) {
      pause_until_ = std::max(now, next_byte_) + front.pause;
      items_.pop_front();
      continue;
    }
    if (front.kind == Kind::kAction) {
      auto action = std::move(front.action);
      items_.pop_front();
      action();
      continue;
    }
    const Status status = front.kind == Kind::kFlood ? WriteFlood(front) : WriteBytes(now);
    if (status != Status::kIdle) {
      return status;
    }
  }
  return Status::kIdle;
}

// Writes what the pty takes now and counts it: the bytes written, or nothing with status set
// to what Pump does next (go on after a signal, wait for room, or stop on an error).
std::optional<std::size_t> OutputQueue::Send(const char* data, std::size_t size, Status& status) {
  const ssize_t n = ::write(fd_, data, size);
  if (n >= 0) {
    Account(data, static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
  }
  if (errno == EINTR) {
    status = Status::kIdle;
  } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
    status = Status::kWaitWritable;
  } else {
    error_ = std::string("write: ") + std::strerror(errno);
    status = Status::kError;
  }
  return std::nullopt;
}

// Returns kIdle when Pump may go on with the next item.
OutputQueue::Status OutputQueue::WriteFlood(Item& item) {
  const std::size_t size = std::min(item.data.size() - item.offset, kMaxWrite);
  Status status = Status::kIdle;
  const std::optional<std::size_t> n = Send(item.data.data() + item.offset, size, status);
  if (!n) {
    return status;
  }
  item.offset += *n;
  if (item.offset == item.data.size()) {
    items_.pop_front();
    next_byte_ = std::max(next_byte_, Clock::now());
  }
  return Status::kIdle;
}

// Returns kIdle when Pump may go on with the next item.
OutputQueue::Status OutputQueue::WriteBytes(Clock::time_point now) {
  next_byte_ = std::max(next_byte_, pause_until_);
  if (now < next_byte_) {
    wake_ = next_byte_;
    return Status::kWaitTime;
  }
  const auto delay = pacing_.byte_delay;
  std::size_t want = kMaxWrite;
  if (pacing_.chunking) {
    if (chunk_left_ == 0) {
      chunk_left_ = static_cast<std::size_t>(Draw(pacing_.chunk));
      chunk_digest_ = Mix(chunk_digest_, chunk_left_);
    }
    want = chunk_left_;
  } else if (delay.count() > 0) {
    // Catch up with the bytes that fell due while the loop was waking: a serial line keeps
    // its rate even when the timer fires late.
    want = 1 + static_cast<std::size_t>((now - next_byte_) / delay);
  }
  want = std::min(want, kMaxWrite);

  // A write may run past actions (state changes between lines) but never past a pause or a
  // flood, which have their own timing.
  buffer_.clear();
  for (auto it = items_.begin(); it != items_.end() && buffer_.size() < want; ++it) {
    if (it->kind == Kind::kAction) {
      continue;
    }
    if (it->kind != Kind::kBytes) {
      break;
    }
    const std::size_t take = std::min(want - buffer_.size(), it->data.size() - it->offset);
    buffer_.append(it->data, it->offset, take);
  }
  Status status = Status::kIdle;
  const std::optional<std::size_t> written = Send(buffer_.data(), buffer_.size(), status);
  if (!written) {
    return status;
  }
  const std::size_t n = *written;

  // Actions directly behind the last byte written run too: the host can already see it.
  std::vector<std::function<void()>> passed;
  std::size_t left = n;
  while (!items_.empty()) {
    Item& item = items_.front();
    if (item.kind == Kind::kAction) {
      passed.push_back(std::move(item.action));
      items_.pop_front();
      continue;
    }
    if (item.kind != Kind::kBytes || left == 0) {
      break;
    }
    const std::size_t take = std::min(left, item.data.size() - item.offset);
    item.offset += take;
    left -= take;
    if (item.offset == item.data.size()) {
      items_.pop_front();
    }
  }

  if (pacing_.chunking) {
    chunk_left_ -= n;
    next_byte_ = now + delay * static_cast<long>(n);
    if (chunk_left_ == 0) {
      next_byte_ += std::chrono::milliseconds(Draw(pacing_.gap_ms));
    }
  } else if (delay.count() > 0) {
    next_byte_ += delay * static_cast<long>(n);
  }
  for (auto& action : passed) {
    if (stopped_) {
      break;
    }
    action();
  }
  return Status::kIdle;
}

}  // namespace pelorus::devsim
