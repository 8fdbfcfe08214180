// atomic_file.hpp - replacing a file so that a crash never leaves half of it.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace netrove::tablefile {

/// Writes `parts` one after the other to `path`, atomically:
///   1. create "<path>.tmp-<pid>-<n>" beside it (O_EXCL, mode 0666 less the
///      umask, as any new file), the name retried while it is taken;
///   2. write every part, fsync the file, close it;
///   3. `before_rename` when given (tests simulate a crash there);
///   4. rename over `path`, then fsync the folder so the rename lasts.
/// On a failure in 1-4 the temporary file is removed and `path` is left as
/// it was.  Errors: LoadError kind io naming `path` and the failed step,
/// with the errno (a folder as `path` is EISDIR, found before any write).
void write_atomically(const std::string& path, const std::vector<std::string_view>& parts,
                      const std::function<void()>& before_rename = {});

}  // namespace netrove::tablefile
