// Buffered standard output (output.hpp).
#include "output.hpp"

#include <unistd.h>

#include <cerrno>

#include "command.hpp"

namespace netrove::cli {

Output::Output(int fd) : fd_(fd), buffer_(new char[kSize]) {}

Output::~Output() {
  try {
    flush();
  } catch (const CommandError&) {
  }
  delete[] buffer_;
}

void Output::write_through(std::string_view s) {
  while (!s.empty()) {
    const ssize_t n = ::write(fd_, s.data(), s.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw CommandError(std::string("cannot write the output: ") + std::strerror(errno));
    }
    s.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Output::flush() {
  const std::size_t n = used_;
  used_ = 0;
  write_through({buffer_, n});
}

void put_tsv_field(Output& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char* escape = c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
    if (!escape) continue;
    out.put(text.substr(start, i - start));
    out.put(escape);
    start = i + 1;
  }
  out.put(text.substr(start));
}

}  // namespace netrove::cli
