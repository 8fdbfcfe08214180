// load/lines.hpp - the lines of a decompressed text, numbered, or its bytes
// a record at a time (take), and the progress ticks between reads.
//
//   buffer_:  [ consumed lines | line being returned | partial line | free ]
//                               ^begin_               ^end of data
//
// A read fills the free part (moving the partial line to the front, or
// growing the buffer for a line longer than it).  A line ends at '\n'; a
// '\r' before it and a UTF-8 byte order mark before the first line are
// dropped; a last line without '\n' is a line.
#pragma once

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "load/decompressed.hpp"

namespace netrove::load {

/// Calls the load's progress callback at most every kEvery, and once at the
/// end.
class Ticker {
 public:
  static constexpr auto kEvery = std::chrono::milliseconds(200);

  Ticker(const Decompressed& in, const LoadProgress& progress) : in_(in), progress_(progress) {}
  /// After a read: the callback, when kEvery has passed since the last.
  void tick() {
    if (!progress_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kEvery) return;
    last_ = now;
    progress_(in_.consumed(), in_.total());
  }
  /// The whole source is read: the last call.
  void finish() const {
    if (progress_) progress_(in_.consumed(), in_.total());
  }

 private:
  const Decompressed& in_;
  const LoadProgress& progress_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

class Lines {
 public:
  /// A line longer than this is an error, not a reason to hold the whole
  /// source in memory.
  static constexpr std::size_t kLongest = 16u << 20;

  Lines(Decompressed& in, Ticker& ticker) : in_(in), ticker_(ticker), buffer_(new char[capacity_]) {}

  /// The next line into `line` (valid until the next call); false at the end.
  bool next(std::string_view& line) {
    for (;;) {
      if (const void* nl = std::memchr(buffer_.get() + begin_, '\n', end_ - begin_)) {
        const std::size_t at = static_cast<const char*>(nl) - buffer_.get();
        emit(line, at);
        offset_ += at + 1 - begin_;
        begin_ = at + 1;
        return true;
      }
      if (eof_) {
        if (begin_ == end_) return false;
        emit(line, end_);
        offset_ += end_ - begin_;
        begin_ = end_;
        return true;
      }
      fill();
    }
  }
  /// The number of the line last returned (1 for the first).
  std::uint64_t number() const noexcept { return number_; }
  const std::string& name() const noexcept { return in_.name(); }

  /// "<source>:<line>: <what>" as a format error.
  [[noreturn]] void fail(const std::string& what) const {
    throw LoadError(LoadError::Kind::format, in_.name() + ":" + std::to_string(number_) + ": " + what);
  }

  /// The next `n` bytes (fewer only at the end), valid until the next
  /// call: for binary formats, a record at a time.
  std::string_view take(std::size_t n) {
    while (end_ - begin_ < n && !eof_) fill(n);
    const std::size_t k = std::min(n, end_ - begin_);
    const std::string_view out{buffer_.get() + begin_, k};
    begin_ += k;
    offset_ += k;
    return out;
  }
  /// A progress tick from a reader's own long work (between reads).
  void tick() { ticker_.tick(); }
  /// Decompressed bytes taken so far (by lines or take).
  std::uint64_t offset() const noexcept { return offset_; }

  /// The first bytes of the text (up to `n`), read ahead without taking
  /// any line: for detecting the format.
  std::string_view peek(std::size_t n) {
    while (end_ - begin_ < n && !eof_) fill();
    return {buffer_.get() + begin_, std::min(n, end_ - begin_)};
  }

 private:
  void emit(std::string_view& line, std::size_t at) {
    std::size_t from = begin_;
    if (number_++ == 0 && at - from >= 3 && std::memcmp(buffer_.get() + from, "\xEF\xBB\xBF", 3) == 0) from += 3;
    std::size_t to = at;
    if (to > from && buffer_[to - 1] == '\r') --to;
    line = {buffer_.get() + from, to - from};
  }
  /// Reads more; room is made for `want` unread bytes at least.
  void fill(std::size_t want = 0) {
    if (begin_ > 0) {  // the partial line to the front
      std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    while (end_ == capacity_ || want > capacity_) {
      if (capacity_ >= kLongest) fail_long();
      std::unique_ptr<char[]> bigger(new char[capacity_ * 2]);
      std::memcpy(bigger.get(), buffer_.get(), end_);
      buffer_ = std::move(bigger);
      capacity_ *= 2;
    }
    const std::size_t got = in_.read(buffer_.get() + end_, capacity_ - end_);
    if (got == 0) eof_ = true;
    end_ += got;
    ticker_.tick();
  }
  [[noreturn]] void fail_long() const {
    throw LoadError(LoadError::Kind::format, in_.name() + ":" + std::to_string(number_ + 1) +
                                                 ": a line or record longer than 16 MiB");
  }

  Decompressed& in_;
  Ticker& ticker_;
  std::size_t capacity_ = 1 << 20;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
  std::uint64_t number_ = 0;
  std::uint64_t offset_ = 0;
};

}  // namespace netrove::load
