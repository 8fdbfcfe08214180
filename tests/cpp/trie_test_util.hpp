// Kept for the tests still at the top level: the shared helpers now live in
// support/oracle.hpp.
#pragma once

#include "support/oracle.hpp"
