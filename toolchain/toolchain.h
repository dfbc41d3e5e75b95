#pragma once
// Everything the LLDB launches ask of the toolchain.

#include "toolchain/developer_directory.h"
#include "toolchain/lldb_lookup.h"
#include "toolchain/tool_run_outcome.h"
#include "toolchain/toolchain_version.h"
