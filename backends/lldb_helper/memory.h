// The requests about the debuggee's memory and instructions: readMemory, writeMemory and
// disassemble, over LLDB's process and target.
#pragma once

#include "backends/lldb_helper/requests.h"

#include <lldb/API/LLDB.h>

namespace lldb_helper::memory {

requests::Answer read(lldb::SBTarget target, const requests::ReadMemory& request);
requests::Answer write(lldb::SBTarget target, const requests::WriteMemory& request);
requests::Answer disassemble(lldb::SBTarget target, const requests::Disassemble& request);

}  // namespace lldb_helper::memory
