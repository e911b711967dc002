#include "pool/transcript.h"

#include <zlib.h>

#include <algorithm>

namespace pelorus::pool {
namespace {

constexpr unsigned char kFormat = 1;
// What Encode writes for a full transcript: the cap's bytes, and per piece a time step and a
// length. The recorder's pieces hold a byte at least and come well within two minutes of each
// other, so their framing costs at most five bytes per console byte; a stream that inflates
// past that is no transcript, and is refused before it takes memory.
constexpr std::size_t kDecodedMax = 6 * Transcript::kCapBytes;
// Every piece counts, whatever it holds: pieces beyond one per console byte (the recorder never
// writes an empty one) are damage, refused before they take memory.
constexpr std::uint64_t kSparePieces = 1024;

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

// Inflates encoded into out, refusing a stream that is damaged or inflates past max. The
// stream is inflated twice, first only counting, so that a bomb is refused without the memory
// it asks for.
bool Inflate(const std::string& encoded, std::size_t max, std::string* out, std::string* error) {
  std::size_t size = 0;
  for (const bool counting : {true, false}) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
      *error = "zlib cannot start";
      return false;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(encoded.data()));
    stream.avail_in = static_cast<uInt>(encoded.size());
    char scratch[64 * 1024];
    if (!counting) {
      out->resize(size);
    }
    std::size_t inflated = 0;
    int status = Z_OK;
    while (status == Z_OK && inflated <= max) {
      char* to = counting ? scratch : out->data() + inflated;
      const std::size_t room = counting ? sizeof scratch : size - inflated;
      stream.next_out = reinterpret_cast<Bytef*>(to);
      stream.avail_out = static_cast<uInt>(std::min<std::size_t>(room, 1u << 30));
      const uInt offered = stream.avail_out;
      status = inflate(&stream, Z_NO_FLUSH);
      inflated += offered - stream.avail_out;
      if (status == Z_BUF_ERROR && (stream.avail_in == 0 || room == 0)) {
        break;
      }
    }
    const std::string zlib_says = stream.msg != nullptr ? stream.msg : "cut short";
    inflateEnd(&stream);
    if (inflated > max) {
      *error = "not a transcript (it inflates past any transcript's size)";
      return false;
    }
    if (status != Z_STREAM_END || stream.avail_in != 0) {
      *error = status == Z_STREAM_END ? "not a transcript (bytes after its end)"
                                      : "not a transcript (zlib: " + zlib_says + ")";
      return false;
    }
    size = inflated;
  }
  return true;
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
  if (!Inflate(encoded, kDecodedMax, &body, error)) {
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
  std::uint64_t kept = 0;
  while (at < body.size()) {
    std::uint64_t delta = 0;
    std::uint64_t framing = 0;
    if (!GetVarint(body, &at, &delta) || !GetVarint(body, &at, &framing) ||
        (framing >> 1) > body.size() - at) {
      *error = "not a transcript (a piece is cut short)";
      return false;
    }
    const std::size_t length = static_cast<std::size_t>(framing >> 1);
    kept += length;
    if (kept > kCapBytes) {
      *error = "not a transcript (it holds more console bytes than a transcript keeps)";
      return false;
    }
    if (pieces->size() >= kept + kSparePieces) {
      *error = "not a transcript (more pieces than console bytes)";
      return false;
    }
    time = static_cast<std::int64_t>(static_cast<std::uint64_t>(time) +
                                     static_cast<std::uint64_t>(UnZigZag(delta)));
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
