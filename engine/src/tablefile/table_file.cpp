// Table files (netrove/table_file.hpp): the header written around a
// snapshot, and read back with these checks, numbered as in the code (each
// failure is worded in the header's contract):
//   1. the magic (a shorter input that begins like it is a truncated
//      header, anything else no table file);
//   2. the version: 0 is no version, above kTableFileVersion a newer file;
//   3. the whole header present;
//   4. the body exactly as long as the header says;
//   5. the checksum over bytes 12..36 and the body;
//   6. the body as a snapshot (every check of read_snapshot);
//   7. the header's counts equal to the body's.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "netrove/load.hpp"
#include "netrove/table_file.hpp"
#include "snapshot/snapshot_format.hpp"
#include "tablefile/atomic_file.hpp"
#include "tablefile/crc32c.hpp"

namespace netrove {

namespace {

static_assert(kTableFileMagic.size() == 8);
constexpr std::size_t kCountsAt = 12, kChecksumAt = 36;
static_assert(kChecksumAt + 4 == kTableFileHeaderBytes);

void put_le(char* at, std::uint64_t v, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) at[i] = static_cast<char>(v >> (8 * i));
}

std::uint64_t get_le(const char* at, unsigned bytes) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(at[i])) << (8 * i);
  return v;
}

/// The header of a body holding `counts`.
std::string header_for(std::string_view body, const SnapshotCounts& counts) {
  std::string h(kTableFileHeaderBytes, '\0');
  std::memcpy(h.data(), kTableFileMagic.data(), kTableFileMagic.size());
  put_le(h.data() + 8, kTableFileVersion, 4);
  put_le(h.data() + 12, counts.ipv4, 8);
  put_le(h.data() + 20, counts.ipv6, 8);
  put_le(h.data() + 28, body.size(), 8);
  std::uint32_t crc = crc::crc32c(0, h.data() + kCountsAt, kChecksumAt - kCountsAt);
  crc = crc::crc32c(crc, body.data(), body.size());
  put_le(h.data() + kChecksumAt, crc, 4);
  return h;
}

std::optional<std::string> check(std::string_view bytes, SnapshotContents& out, TableFileInfo& info) {
  const char* const p = bytes.data();
  // 1.
  const std::size_t magic = std::min(bytes.size(), kTableFileMagic.size());
  if (bytes.substr(0, magic) != kTableFileMagic.substr(0, magic) || bytes.empty())
    return "not a netrove table file (no NRVTABLE magic)";
  // 2.
  if (bytes.size() >= 12) {
    info.version = static_cast<std::uint32_t>(get_le(p + 8, 4));
    if (info.version == 0) return "corrupt: format version 0";
    if (info.version > kTableFileVersion)
      return "written by a newer netrove: format version " + std::to_string(info.version) + " (this one reads " +
             std::to_string(kTableFileVersion) + ")";
  }
  // 3.
  if (bytes.size() < kTableFileHeaderBytes)
    return "truncated in the header (" + std::to_string(bytes.size()) + " of " +
           std::to_string(kTableFileHeaderBytes) + " bytes)";
  info.ipv4_prefixes = get_le(p + 12, 8);
  info.ipv6_prefixes = get_le(p + 20, 8);
  const std::uint64_t body_bytes = get_le(p + 28, 8);
  const std::string_view body = bytes.substr(kTableFileHeaderBytes);
  // 4.
  if (body.size() < body_bytes)
    return "truncated: the header announces " + std::to_string(body_bytes) + " body bytes, " +
           std::to_string(body.size()) + " follow it";
  if (body.size() > body_bytes) return "corrupt: " + std::to_string(body.size() - body_bytes) + " bytes after the body";
  // 5.
  std::uint32_t crc = crc::crc32c(0, p + kCountsAt, kChecksumAt - kCountsAt);
  crc = crc::crc32c(crc, body.data(), body.size());
  if (crc != static_cast<std::uint32_t>(get_le(p + kChecksumAt, 4))) return "corrupt: checksum mismatch";
  // 6.
  if (auto error = read_snapshot(body, out)) return "corrupt: " + *error;
  // 7.
  std::uint64_t v4 = 0;
  for (const IpPrefix& prefix : out.prefixes) v4 += prefix.family == kIpv4;
  const std::uint64_t v6 = out.prefixes.size() - v4;
  if (v4 != info.ipv4_prefixes)
    return "corrupt: the header counts " + std::to_string(info.ipv4_prefixes) + " IPv4 prefixes, the body holds " +
           std::to_string(v4);
  if (v6 != info.ipv6_prefixes)
    return "corrupt: the header counts " + std::to_string(info.ipv6_prefixes) + " IPv6 prefixes, the body holds " +
           std::to_string(v6);
  // The record count is the body's first varint, after the snapshot's magic and version.
  const auto* b = reinterpret_cast<const unsigned char*>(body.data());
  snapshot::get_var(b + 5, b + body.size(), info.records);
  info.bytes = bytes.size();
  return std::nullopt;
}

}  // namespace

std::string table_file_bytes(const Engine& engine) {
  SnapshotCounts counts;
  const std::string body = save_snapshot(engine, &counts);
  return header_for(body, counts) + body;
}

void save_table_file(const Engine& engine, const std::string& path) {
  SnapshotCounts counts;
  const std::string body = save_snapshot(engine, &counts);
  const std::string header = header_for(body, counts);
  tablefile::write_atomically(path, {header, body});
}

std::optional<std::string> read_table_file(std::string_view bytes, SnapshotContents& out, TableFileInfo* info) {
  TableFileInfo found;
  std::optional<std::string> error = check(bytes, out, found);
  if (error) {
    out.prefixes = {};
    out.records = {};
  } else if (info) {
    *info = found;
  }
  return error;
}

bool looks_like_table_file(std::string_view bytes) noexcept { return bytes.starts_with(kTableFileMagic); }

FileBytes::FileBytes(const std::string& path) {
  auto fail = [&](const char* step, int error) {
    throw LoadError(LoadError::Kind::io, path + ": cannot " + step + ": " + std::strerror(error), error);
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("open", errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) fail("read", errno);
  if (S_ISDIR(st.st_mode)) fail("read", EISDIR);
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    // Populated at once: every byte is read (checksummed) right after.
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) fail("read", errno);
    map_ = map;
    view_ = {static_cast<const char*>(map), size};
    return;
  }
  // A pipe or a device (or a file that may be growing from empty): read to the end.
  std::size_t have = 0;
  read_.resize(1 << 16);
  for (;;) {
    if (have == read_.size()) read_.resize(read_.size() * 2);
    const ssize_t n = ::read(fd, read_.data() + have, read_.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("read", errno);
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  read_.resize(have);
  view_ = read_;
}

FileBytes::~FileBytes() {
  if (map_) ::munmap(map_, view_.size());
}

}  // namespace netrove
