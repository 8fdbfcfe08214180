// output.hpp - standard output through one large buffer: a line-oriented
// command writes millions of short lines, and one write(2) per line would
// cost more than the lookups behind them.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace netrove::cli {

class Output {
 public:
  explicit Output(int fd = 1);
  ~Output();  // flushes (errors then are lost, as at exit; call flush() to see them)
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void put(std::string_view s) {
    if (s.size() > kSize - used_) {
      flush();
      if (s.size() > kSize) return write_through(s);
    }
    std::memcpy(buffer_ + used_, s.data(), s.size());
    used_ += s.size();
  }
  void put(char c) {
    if (used_ == kSize) flush();
    buffer_[used_++] = c;
  }
  /// Writes out what is buffered.  Throws CommandError when the write fails
  /// (a full disk, a closed pipe when SIGPIPE is ignored).
  void flush();

 private:
  static constexpr std::size_t kSize = 1 << 16;
  void write_through(std::string_view s);

  int fd_;
  std::size_t used_ = 0;
  char* buffer_;
};

/// `text` with backslash, tab, newline and carriage return written as \\,
/// \t, \n and \r, so that it stays one field of a tab-separated line.
void put_tsv_field(Output& out, std::string_view text);

}  // namespace netrove::cli
