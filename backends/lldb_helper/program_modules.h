// The modules and source files of LLDB's selected target: the modules and sources requests.
#pragma once

#include "backends/lldb_helper/requests.h"

#include <lldb/API/LLDB.h>

namespace lldb_helper {

// The target's modules, the executable first, each with whether LLDB has its debug information
// and where it is loaded.
requests::Answer program_modules(lldb::SBTarget target);

// The primary source files of every compile unit, the executable's first, each once, at most
// kMaxSources of them.
requests::Answer program_sources(lldb::SBTarget target);

constexpr std::size_t kMaxSources = 1000;

}  // namespace lldb_helper
