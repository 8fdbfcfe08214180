// netrove/netrove.hpp - the whole public API of the netrove engine library.
#pragma once

#include "netrove/adaptive_engine.hpp"
#include "netrove/cache.hpp"
#include "netrove/engine.hpp"
#include "netrove/factory.hpp"
#include "netrove/hybrid_engine.hpp"
#include "netrove/local_engine.hpp"
#include "netrove/metadata.hpp"
#include "netrove/node.hpp"
#include "netrove/panic.hpp"
#include "netrove/redis_store.hpp"
#include "netrove/sync.hpp"
#include "netrove/text.hpp"
#include "netrove/trie_engine.hpp"
#include "netrove/types.hpp"
