// progress_bar.hpp - a load's progress on standard error, redrawn in place,
// when standard error is a terminal (and nothing otherwise).
#pragma once

#include <string>

#include "netrove/load.hpp"

namespace netrove::cli {

class ProgressBar {
 public:
  /// A bar for loading `name`; inactive unless standard error is a terminal.
  explicit ProgressBar(std::string name);
  ~ProgressBar();  // clears the bar's line

  /// The callback a load reports to (empty when inactive).
  LoadProgress callback();

 private:
  void draw(std::uint64_t done, std::optional<std::uint64_t> total);

  std::string name_;
  bool active_;
  bool drawn_ = false;
};

}  // namespace netrove::cli
