// command.hpp - what every subcommand of the `netrove` command shares: its
// entry point, its exit statuses and the error that ends it.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace netrove::cli {

/// Exit statuses, as grep has them.
enum Exit : int {
  kExitOk = 0,        // success; for grep and lookup --strict: something matched
  kExitNoMatch = 1,   // grep selected no line; lookup --strict met an address without a match
  kExitError = 2,     // a usage or input error (a message on stderr)
};

/// A usage or input error: main prints "netrove: <what>" on stderr and
/// exits with kExitError.  `usage` adds a pointer to --help.
class CommandError : public std::runtime_error {
 public:
  explicit CommandError(const std::string& what, bool usage = false)
      : std::runtime_error(what), usage_(usage) {}
  bool usage() const noexcept { return usage_; }

 private:
  bool usage_;
};

/// A subcommand: given its arguments (after its name), returns the exit
/// status or throws CommandError; what else it throws (LoadError,
/// StartupError) main reports as an input error too.
using Run = int (*)(const std::vector<std::string>& args);

int run_build(const std::vector<std::string>& args);
int run_lookup(const std::vector<std::string>& args);
int run_grep(const std::vector<std::string>& args);
int run_info(const std::vector<std::string>& args);
int run_export(const std::vector<std::string>& args);

}  // namespace netrove::cli
