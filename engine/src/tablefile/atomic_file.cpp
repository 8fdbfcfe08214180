// write_atomically (atomic_file.hpp): the four steps, numbered as there.
#include "tablefile/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "netrove/load.hpp"

namespace netrove::tablefile {

namespace {

[[noreturn]] void fail(const std::string& path, const char* step, int error) {
  throw LoadError(LoadError::Kind::io, path + ": cannot " + step + ": " + std::strerror(error), error);
}

/// The folder holding `path` ("." for a bare name).
std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

/// Removes the temporary file unless released.
struct TempFile {
  std::string name;
  int fd = -1;
  bool renamed = false;

  ~TempFile() {
    if (fd >= 0) ::close(fd);
    if (!renamed && !name.empty()) ::unlink(name.c_str());
  }
};

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::atomic<unsigned> temp_counter{0};

}  // namespace

void write_atomically(const std::string& path, const std::vector<std::string_view>& parts,
                      const std::function<void()>& before_rename) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) fail(path, "write", EISDIR);
  // 1.
  TempFile temp;
  for (;;) {
    temp.name = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(temp_counter++);
    temp.fd = ::open(temp.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (temp.fd >= 0) break;
    if (errno != EEXIST) {
      const int error = errno;
      temp.name.clear();  // nothing was created
      fail(path, "create a file beside", error);
    }
  }
  // 2.
  for (const std::string_view part : parts)
    if (!write_all(temp.fd, part)) fail(path, "write", errno);
  if (::fsync(temp.fd) != 0) fail(path, "flush", errno);
  const int fd = temp.fd;
  temp.fd = -1;
  if (::close(fd) != 0) fail(path, "close", errno);
  // 3.
  if (before_rename) before_rename();
  // 4.
  if (::rename(temp.name.c_str(), path.c_str()) != 0) fail(path, "replace", errno);
  temp.renamed = true;
  const int dir = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    // The rename is done; a folder that cannot be flushed (some file systems
    // refuse) leaves it to the kernel's own write-back.
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace netrove::tablefile
