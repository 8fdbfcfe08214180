// netrove/netrove.hpp - the whole public API of the netrove engine library:
// the engine interface, the factory and its configuration, the record and
// its stored form, snapshots, the text forms and the value types.  Everything else is
// private to the library (engine/src).
#pragma once

#include "netrove/engine.hpp"
#include "netrove/factory.hpp"
#include "netrove/metadata.hpp"
#include "netrove/record.hpp"
#include "netrove/snapshot.hpp"
#include "netrove/text.hpp"
#include "netrove/types.hpp"
