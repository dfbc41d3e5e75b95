#pragma once

enum class DebuggerBackend { LldbHelper, LldbPython, Gdb };
