#include "pool/transcript.h"

#include <zlib.h>

#include <algorithm>

namespace pelorus::pool {
namespace {

constexpr unsigned char kFormat = 1;
// Pieces of one byte each cost a few bytes of framing; a stream that inflates far past what
// a full transcript can take is not one.
constexpr std::size_t kDecodedMax = 16 * Transcript::kCapBytes;

void PutVarint(std::string* out, std::uint64_t value) {
  while (value >= 0x80) {
    *out += static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  *out += static_cast<char>(value);
}

bool GetVarint(const std::string& in, std::size_t* at, std::uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64 && *at < in.size(); shift += 7) {
    const auto byte = static_cast<unsigned char>(in[(*at)++]);
    *value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      return true;
    }
  }
  return false;
}

std::uint64_t ZigZag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

std::int64_t UnZigZag(std::uint64_t value) {
  return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

bool Inflate(const std::string& encoded, std::string* out, std::string* error) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    *error = "zlib cannot start";
    return false;
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(encoded.data()));
  stream.avail_in = static_cast<uInt>(encoded.size());
  char buffer[64 * 1024];
  int status = Z_OK;
  while (status == Z_OK && out->size() <= kDecodedMax) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out->append(buffer, sizeof buffer - stream.avail_out);
    if (status == Z_BUF_ERROR && stream.avail_in == 0) {
      break;
    }
  }
  inflateEnd(&stream);
  if (status == Z_STREAM_END && stream.avail_in == 0) {
    return true;
  }
  *error = out->size() > kDecodedMax ? "not a transcript (it inflates past any transcript's size)"
           : status == Z_STREAM_END
               ? "not a transcript (bytes after its end)"
               : "not a transcript (zlib: " +
                     std::string(stream.msg != nullptr ? stream.msg : "cut short") + ")";
  return false;
}

}  // namespace

void Transcript::Add(Direction dir, std::int64_t at_us, const char* bytes, std::size_t n) {
  const std::size_t room = kCapBytes - static_cast<std::size_t>(bytes_);
  const std::size_t kept = std::min(n, room);
  cut_ += n - kept;
  if (kept == 0) {
    return;
  }
  // Unsigned, so that no pair of times overflows.
  PutVarint(&pieces_, ZigZag(static_cast<std::int64_t>(static_cast<std::uint64_t>(at_us) -
                                                       static_cast<std::uint64_t>(last_at_us_))));
  PutVarint(&pieces_, static_cast<std::uint64_t>(kept) << 1 | (dir == Direction::kToDevice));
  pieces_.append(bytes, kept);
  last_at_us_ = at_us;
  bytes_ += kept;
}

std::string Transcript::Encode() const {
  std::string body(1, static_cast<char>(kFormat));
  PutVarint(&body, cut_);
  body += pieces_;
  uLongf size = compressBound(static_cast<uLong>(body.size()));
  std::string encoded(size, '\0');
  compress2(reinterpret_cast<Bytef*>(encoded.data()), &size,
            reinterpret_cast<const Bytef*>(body.data()), static_cast<uLong>(body.size()),
            Z_DEFAULT_COMPRESSION);
  encoded.resize(size);
  return encoded;
}

bool Transcript::Decode(const std::string& encoded, std::vector<Piece>* pieces, std::uint64_t* cut,
                        std::string* error) {
  pieces->clear();
  std::string body;
  if (!Inflate(encoded, &body, error)) {
    return false;
  }
  if (body.empty() || static_cast<unsigned char>(body[0]) != kFormat) {
    *error = "not a transcript (unknown format)";
    return false;
  }
  std::size_t at = 1;
  std::int64_t time = 0;
  if (!GetVarint(body, &at, cut)) {
    *error = "not a transcript (no cut count)";
    return false;
  }
  while (at < body.size()) {
    std::uint64_t delta = 0;
    std::uint64_t framing = 0;
    if (!GetVarint(body, &at, &delta) || !GetVarint(body, &at, &framing) ||
        (framing >> 1) > body.size() - at) {
      *error = "not a transcript (a piece is cut short)";
      return false;
    }
    time = static_cast<std::int64_t>(static_cast<std::uint64_t>(time) +
                                     static_cast<std::uint64_t>(UnZigZag(delta)));
    const std::size_t length = static_cast<std::size_t>(framing >> 1);
    pieces->push_back({(framing & 1) != 0 ? Direction::kToDevice : Direction::kFromDevice, time,
                       body.substr(at, length)});
    at += length;
  }
  return true;
}

void Transcript::Clear() {
  pieces_.clear();
  last_at_us_ = 0;
  bytes_ = 0;
  cut_ = 0;
}

}  // namespace pelorus::pool
