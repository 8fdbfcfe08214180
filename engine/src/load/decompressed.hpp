// load/decompressed.hpp - a source's bytes, read through gzip, bzip2 or xz
// when its first bytes say so.
//
//   first bytes          codec        concatenated streams
//   1f 8b 08             gzip (zlib)  every member, one after another
//   "BZh" 1-9            bzip2        every stream
//   fd 37 7a 58 5a 00    xz (lzma)    every stream (LZMA_CONCATENATED)
//   anything else        none         -
//
// The stored bytes read so far (`consumed`) drive progress: they are what
// the source's size counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "netrove/load.hpp"

namespace netrove::load {

class Codec;

class Decompressed {
 public:
  /// Reads `input` (kept by reference); `name` names the source in errors.
  Decompressed(LoadInput& input, std::string name);
  ~Decompressed();
  Decompressed(const Decompressed&) = delete;
  Decompressed& operator=(const Decompressed&) = delete;

  /// Fills up to `n` bytes of the decompressed stream; 0 only at its end.
  /// Throws LoadError (kind format) for corrupt or truncated compressed
  /// data, naming the codec and the stored byte where it failed, or what
  /// the input throws.
  std::size_t read(char* out, std::size_t n);

  /// Stored bytes taken from the input so far.
  std::uint64_t consumed() const noexcept { return consumed_; }
  std::optional<std::uint64_t> total() const { return input_.size(); }
  const std::string& name() const noexcept { return name_; }

 private:
  friend class Codec;
  /// Refills `raw_` from the input; false at its end.
  bool refill();

  LoadInput& input_;
  std::string name_;
  std::unique_ptr<char[]> raw_;
  std::size_t raw_begin_ = 0, raw_end_ = 0;
  bool raw_eof_ = false;
  std::uint64_t consumed_ = 0;
  std::unique_ptr<Codec> codec_;  // null: stored as is
  bool started_ = false;
};

}  // namespace netrove::load
