#include "sync/panic.hpp"

namespace netrove {

void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace netrove
