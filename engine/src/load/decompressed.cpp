// Decompressed: the codecs behind one reader (see decompressed.hpp).
#include "load/decompressed.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace netrove::load {

namespace {
constexpr std::size_t kRawChunk = 1 << 20;
}  // namespace

/// One decompressor over the raw buffer of a Decompressed.
class Codec {
 public:
  explicit Codec(Decompressed& d) : d_(d) {}
  virtual ~Codec() = default;
  /// Fills up to n bytes; 0 at the end of the last stream.
  virtual std::size_t read(char* out, std::size_t n) = 0;

 protected:
  /// The raw bytes not yet fed, refilled when none are left; false when
  /// the input has ended.
  bool input(const char*& p, std::size_t& n) {
    if (d_.raw_begin_ == d_.raw_end_ && !d_.refill()) return false;
    p = d_.raw_.get() + d_.raw_begin_;
    n = d_.raw_end_ - d_.raw_begin_;
    return true;
  }
  /// Marks `n` raw bytes fed.
  void used(std::size_t n) noexcept { d_.raw_begin_ += n; }
  bool more_input() { return d_.raw_begin_ != d_.raw_end_ || d_.refill(); }
  [[noreturn]] void corrupt(const char* codec, const char* what) const {
    const std::uint64_t at = d_.consumed_ - (d_.raw_end_ - d_.raw_begin_);
    throw LoadError(LoadError::Kind::format,
                    d_.name_ + ": at byte " + std::to_string(at) + ": " + codec + " data " + what);
  }

 private:
  Decompressed& d_;
};

namespace {

// gzip: one inflate stream per member; a member's end with input left
// starts the next.
class Gzip final : public Codec {
 public:
  explicit Gzip(Decompressed& d) : Codec(d) {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~Gzip() override { inflateEnd(&z_); }
  std::size_t read(char* out, std::size_t n) override {
    const uInt want = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = want;
    while (want != 0 && z_.avail_out == want) {  // until something comes out
      if (ended_) {
        if (!more_input()) break;
        inflateReset(&z_);
        ended_ = false;
      }
      const char* p;
      std::size_t avail;
      if (!input(p, avail)) corrupt("gzip", "ends early");
      z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p));
      z_.avail_in = static_cast<uInt>(std::min<std::size_t>(avail, 1u << 30));
      const uInt before = z_.avail_in;
      const int r = inflate(&z_, Z_NO_FLUSH);
      used(before - z_.avail_in);
      if (r == Z_STREAM_END) ended_ = true;
      else if (r == Z_BUF_ERROR && before == 0) corrupt("gzip", "ends early");
      else if (r != Z_OK && r != Z_BUF_ERROR) corrupt("gzip", "is corrupt");
    }
    return want - z_.avail_out;
  }

 private:
  z_stream z_{};
  bool ended_ = false;
};

class Bzip2 final : public Codec {
 public:
  explicit Bzip2(Decompressed& d) : Codec(d) { start(); }
  ~Bzip2() override { BZ2_bzDecompressEnd(&s_); }
  std::size_t read(char* out, std::size_t n) override {
    const unsigned want = static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30));
    s_.next_out = out;
    s_.avail_out = want;
    while (want != 0 && s_.avail_out == want) {
      if (ended_) {
        if (!more_input()) break;
        BZ2_bzDecompressEnd(&s_);
        start();
      }
      const char* p;
      std::size_t avail;
      if (!input(p, avail)) corrupt("bzip2", "ends early");
      s_.next_in = const_cast<char*>(p);
      s_.avail_in = static_cast<unsigned>(std::min<std::size_t>(avail, 1u << 30));
      const unsigned before = s_.avail_in;
      const int r = BZ2_bzDecompress(&s_);
      used(before - s_.avail_in);
      if (r == BZ_STREAM_END) ended_ = true;
      else if (r != BZ_OK) corrupt("bzip2", "is corrupt");
    }
    return want - s_.avail_out;
  }

 private:
  /// A fresh stream; the output window of the read in progress is kept.
  void start() {
    char* out = s_.next_out;
    const unsigned room = s_.avail_out;
    s_ = bz_stream{};
    if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) throw std::bad_alloc();
    s_.next_out = out;
    s_.avail_out = room;
    ended_ = false;
  }
  bz_stream s_{};
  bool ended_ = false;
};

class Xz final : public Codec {
 public:
  explicit Xz(Decompressed& d) : Codec(d) {
    if (lzma_stream_decoder(&s_, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) throw std::bad_alloc();
  }
  ~Xz() override { lzma_end(&s_); }
  std::size_t read(char* out, std::size_t n) override {
    s_.next_out = reinterpret_cast<std::uint8_t*>(out);
    s_.avail_out = n;
    while (n != 0 && s_.avail_out == n && !ended_) {
      const char* p = nullptr;
      std::size_t avail = 0;
      const bool have = input(p, avail);
      s_.next_in = reinterpret_cast<const std::uint8_t*>(p);
      s_.avail_in = avail;
      const lzma_ret r = lzma_code(&s_, have ? LZMA_RUN : LZMA_FINISH);
      used(avail - s_.avail_in);
      if (r == LZMA_STREAM_END) ended_ = true;
      else if (r == LZMA_BUF_ERROR || (!have && r == LZMA_OK && s_.avail_out == n)) corrupt("xz", "ends early");
      else if (r != LZMA_OK) corrupt("xz", "is corrupt");
    }
    return n - s_.avail_out;
  }

 private:
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool ended_ = false;
};

}  // namespace

Decompressed::Decompressed(LoadInput& input, std::string name)
    : input_(input), name_(std::move(name)), raw_(new char[kRawChunk]) {}

Decompressed::~Decompressed() = default;

bool Decompressed::refill() {
  if (raw_eof_) return false;
  raw_begin_ = 0;
  raw_end_ = 0;
  while (raw_end_ == 0) {
    const std::size_t got = input_.read(raw_.get(), kRawChunk);
    if (got == 0) {
      raw_eof_ = true;
      return false;
    }
    raw_end_ = got;
  }
  consumed_ += raw_end_;
  return true;
}

std::size_t Decompressed::read(char* out, std::size_t n) {
  if (!started_) {
    started_ = true;
    // Enough of the start to see a magic number (a short source may give
    // it in several reads).
    while (raw_end_ < 6 && !raw_eof_) {
      const std::size_t got = input_.read(raw_.get() + raw_end_, kRawChunk - raw_end_);
      if (got == 0) raw_eof_ = true;
      raw_end_ += got;
      consumed_ += got;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(raw_.get());
    const std::size_t have = raw_end_;
    if (have >= 3 && b[0] == 0x1f && b[1] == 0x8b && b[2] == 8) codec_ = std::make_unique<Gzip>(*this);
    else if (have >= 4 && std::memcmp(b, "BZh", 3) == 0 && b[3] >= '1' && b[3] <= '9')
      codec_ = std::make_unique<Bzip2>(*this);
    else if (have >= 6 && std::memcmp(b, "\xFD" "7zXZ\0", 6) == 0) codec_ = std::make_unique<Xz>(*this);
  }
  if (codec_) return codec_->read(out, n);
  if (raw_begin_ == raw_end_ && !refill()) return 0;
  const std::size_t k = std::min(n, raw_end_ - raw_begin_);
  std::memcpy(out, raw_.get() + raw_begin_, k);
  raw_begin_ += k;
  return k;
}

}  // namespace netrove::load
