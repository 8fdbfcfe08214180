// The load progress bar (progress_bar.hpp):
//
//   rib.20261201.mrt.bz2  [##########----------]  48%  61.2 of 127.5 MB
//   feed.txt  3.1 MB                                  (size unknown: a pipe)
#include "progress_bar.hpp"

#include <unistd.h>

#include <cstdio>

namespace netrove::cli {

ProgressBar::ProgressBar(std::string name) : name_(std::move(name)), active_(::isatty(2) == 1) {}

ProgressBar::~ProgressBar() {
  if (drawn_) std::fputs("\r\033[K", stderr);
}

LoadProgress ProgressBar::callback() {
  if (!active_) return {};
  return [this](std::uint64_t done, std::optional<std::uint64_t> total) { draw(done, total); };
}

void ProgressBar::draw(std::uint64_t done, std::optional<std::uint64_t> total) {
  constexpr int kWidth = 20;
  const double mb = 1e6;
  if (total && *total > 0) {
    const double part = static_cast<double>(done) / static_cast<double>(*total);
    const int filled = static_cast<int>(part * kWidth);
    std::fprintf(stderr, "\r%s  [%.*s%.*s] %3d%%  %.1f of %.1f MB\033[K", name_.c_str(), filled,
                 "####################", kWidth - filled, "--------------------", static_cast<int>(part * 100),
                 static_cast<double>(done) / mb, static_cast<double>(*total) / mb);
  } else {
    std::fprintf(stderr, "\r%s  %.1f MB\033[K", name_.c_str(), static_cast<double>(done) / mb);
  }
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace netrove::cli
