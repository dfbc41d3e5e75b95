#pragma once
// The environment block every debugger child receives whole: a NULL-terminated array of
// heap strings, or no block at all (Absent, a null pointer), distinct from an empty block.

#include <cstddef>
#include <mutex>

using EnvironBlock = char **;

// The service's block, as the host last sent it. Guard every access with environmentLock.
extern EnvironBlock childEnvironment;
extern std::mutex environmentLock;

// Routines over an explicit block, so a child's copy can be edited with the same rules.
void freeSetEnvironment(EnvironBlock &block);
char *_appendEnviron(EnvironBlock &block, const char *entry);
void setEnvironVariable(EnvironBlock &block, const char *name, const char *value);
const char *getEnvironValue(EnvironBlock block, const char *name);
EnvironBlock copyEnvironment(EnvironBlock block);

// The same routines over the service's own block; each takes environmentLock itself.
void freeSetEnvironment();
void setEnvironVariable(const char *name, const char *value);
// Only while holding environmentLock: the pointer points into the block.
const char *getEnvironValue(const char *name);

// The work of set_env: empties the block and builds it from the payload. data may be null.
void replaceEnvironment(const void *data, size_t length);

// A copy of the service's block for a child, taken under the lock (Absent stays Absent).
EnvironBlock snapshotEnvironment();
