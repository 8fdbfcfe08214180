// The sources of netrove/load.hpp: a file by path or descriptor, bytes in memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "netrove/load.hpp"

namespace netrove {

namespace {

class FileInput final : public LoadInput {
 public:
  FileInput(int fd, std::string path, bool owned) : fd_(fd), path_(std::move(path)), owned_(owned) {
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<std::uint64_t>(st.st_size);
  }
  ~FileInput() override {
    if (owned_) ::close(fd_);
  }
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
  bool owned_;
  std::optional<std::uint64_t> size_;
};

class BytesInput final : public LoadInput {
 public:
  explicit BytesInput(std::string_view bytes) : rest_(bytes), size_(bytes.size()) {}
  std::size_t read(char* buffer, std::size_t n) override {
    n = std::min(n, rest_.size());
    std::memcpy(buffer, rest_.data(), n);
    rest_.remove_prefix(n);
    return n;
  }
  std::optional<std::uint64_t> size() const override { return size_; }

 private:
  std::string_view rest_;
  std::uint64_t size_;
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
  return std::make_unique<FileInput>(fd, path, true);
}

std::unique_ptr<LoadInput> load_input_of_fd(int fd, std::string name) {
  return std::make_unique<FileInput>(fd, std::move(name), false);
}

std::unique_ptr<LoadInput> load_input_of_bytes(std::string_view bytes) { return std::make_unique<BytesInput>(bytes); }

}  // namespace netrove
