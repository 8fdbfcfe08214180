// Lines of a file or of standard input (input_lines.hpp).  One buffer:
// lines are handed out as views into it; a line longer than the buffer
// doubles it.
#include "input_lines.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "command.hpp"

namespace netrove::cli {

InputLines::InputLines(const std::string& path)
    : name_(path == "-" ? "(standard input)" : path), buffer_(new char[1 << 18]), capacity_(1 << 18) {
  if (path == "-") {
    fd_ = 0;
    return;
  }
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw CommandError(path + ": " + std::strerror(errno));
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    throw CommandError(path + ": " + std::strerror(EISDIR));
  }
}

InputLines::~InputLines() {
  if (fd_ > 0) ::close(fd_);
}

void InputLines::fill() {
  if (begin_ > 0) {  // keep the partial line at the front
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == capacity_) {
    std::unique_ptr<char[]> bigger(new char[capacity_ * 2]);
    std::memcpy(bigger.get(), buffer_.get(), end_);
    buffer_ = std::move(bigger);
    capacity_ *= 2;
  }
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw CommandError(name_ + ": " + std::strerror(errno));
    }
    if (n == 0) eof_ = true;
    end_ += static_cast<std::size_t>(n);
    return;
  }
}

bool InputLines::next(std::string_view& line) {
  for (;;) {
    if (const std::size_t at = newline(); at != kNone) {
      line = {buffer_.get() + begin_, at - begin_};
      begin_ = at + 1;
      newline_ = kUnknown;
      return true;
    }
    if (eof_) {
      if (begin_ == end_) return false;
      line = {buffer_.get() + begin_, end_ - begin_};
      begin_ = end_;
      return true;
    }
    fill();
    newline_ = kUnknown;
  }
}

}  // namespace netrove::cli
