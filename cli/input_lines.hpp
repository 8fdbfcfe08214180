// input_lines.hpp - the lines of a file or of standard input, as they are:
// each line without its '\n' (a '\r' before it is kept, so that grep
// writes a selected line back byte for byte), the last line also when no
// '\n' ends it.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace netrove::cli {

class InputLines {
 public:
  /// Opens `path` ("-" for standard input).  Throws CommandError naming the
  /// path when it cannot be opened or is a folder.
  explicit InputLines(const std::string& path);
  ~InputLines();
  InputLines(const InputLines&) = delete;
  InputLines& operator=(const InputLines&) = delete;

  /// The next line into `line` (valid until the next call); false at the
  /// end.  Throws CommandError when a read fails.
  bool next(std::string_view& line);
  /// Whether next() can return without reading (a whole line is buffered,
  /// or the input has ended): when not, a caller that streams its output
  /// writes out what it holds first, so that a line typed at a terminal or
  /// written to a pipe by `tail -f` is answered before the next one comes.
  /// The newline it finds is remembered for next(), which so searches once.
  bool line_ready() noexcept { return eof_ || newline() != kNone; }
  const std::string& name() const noexcept { return name_; }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  static constexpr std::size_t kUnknown = kNone - 1;

  void fill();
  /// The position of the next '\n' in the buffer, or kNone.
  std::size_t newline() noexcept {
    if (newline_ == kUnknown) {
      const void* nl = std::memchr(buffer_.get() + begin_, '\n', end_ - begin_);
      newline_ = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - buffer_.get()) : kNone;
    }
    return newline_;
  }

  std::string name_;
  int fd_;
  bool eof_ = false;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  std::size_t begin_ = 0, end_ = 0;
  std::size_t newline_ = kUnknown;  // newline()'s answer until begin_ or the buffer changes
};

}  // namespace netrove::cli
