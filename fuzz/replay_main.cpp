// A driver for the fuzz targets in builds without libFuzzer: it feeds the
// target every file named on the command line, then a fixed run of seeded
// random inputs.  The plain and sanitizer test runs use it so that every
// target keeps compiling and holds on a first few thousand inputs; `make
// fuzz` is where the targets search for real.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::mt19937_64 rng(20261207);
  std::vector<std::uint8_t> input;
  for (int run = 0; run < 20000; ++run) {
    input.resize(rng() % 600);
    for (auto& b : input) b = static_cast<std::uint8_t>(rng());
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  return 0;
}
