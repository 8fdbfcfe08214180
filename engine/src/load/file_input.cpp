// A file read by path: open_load_file (netrove/load.hpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "netrove/load.hpp"

namespace netrove {

namespace {

class FileInput final : public LoadInput {
 public:
  FileInput(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<std::uint64_t>(st.st_size);
  }
  ~FileInput() override { ::close(fd_); }
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  std::size_t read(char* buffer, std::size_t n) override {
    for (;;) {
      const ssize_t got = ::read(fd_, buffer, n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) {
        const int err = errno;
        throw LoadError(LoadError::Kind::io, path_ + ": " + std::strerror(err), err);
      }
    }
  }
  std::optional<std::uint64_t> size() const override { return size_; }

 private:
  int fd_;
  std::string path_;
  std::optional<std::uint64_t> size_;
};

}  // namespace

std::unique_ptr<LoadInput> open_load_file(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    throw LoadError(LoadError::Kind::io, path + ": " + std::strerror(err), err);
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw LoadError(LoadError::Kind::io, path + ": " + std::strerror(EISDIR), EISDIR);
  }
  return std::make_unique<FileInput>(fd, path);
}

}  // namespace netrove
