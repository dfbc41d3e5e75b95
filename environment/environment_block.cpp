#include "environment/environment_block.h"

#include <cstdlib>
#include <cstring>

EnvironBlock childEnvironment = nullptr;
std::mutex environmentLock;

namespace {

size_t entryCount(EnvironBlock block)
{
    size_t count = 0;
    while (block[count] != nullptr)
        ++count;
    return count;
}

bool entryMatches(const char *entry, const char *name, size_t nameLength)
{
    return strncmp(entry, name, nameLength) == 0 && entry[nameLength] == '=';
}

char *copyBytes(const char *bytes, size_t length)
{
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy == nullptr)
        abort();
    memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

void *resizeOrAbort(void *memory, size_t size)
{
    void *resized = realloc(memory, size);
    if (resized == nullptr)
        abort();
    return resized;
}

} // namespace

void freeSetEnvironment(EnvironBlock &block)
{
    if (block != nullptr) {
        for (size_t i = 0; block[i] != nullptr; ++i)
            free(block[i]);
        free(block);
    }
    block = nullptr;
}

char *_appendEnviron(EnvironBlock &block, const char *entry)
{
    size_t count = block == nullptr ? 0 : entryCount(block);
    block = static_cast<EnvironBlock>(resizeOrAbort(block, (count + 2) * sizeof(char *)));
    block[count] = copyBytes(entry, strlen(entry));
    block[count + 1] = nullptr;
    return block[count];
}

void setEnvironVariable(EnvironBlock &block, const char *name, const char *value)
{
    // Built before anything is released: value may point into the entry being replaced.
    size_t nameLength = strlen(name);
    size_t valueLength = strlen(value);
    char *built = static_cast<char *>(malloc(nameLength + valueLength + 2));
    if (built == nullptr)
        abort();
    memcpy(built, name, nameLength);
    built[nameLength] = '=';
    memcpy(built + nameLength + 1, value, valueLength + 1);

    if (block != nullptr) {
        for (size_t i = 0; block[i] != nullptr; ++i) {
            if (entryMatches(block[i], name, nameLength)) {
                free(block[i]);
                block[i] = built;
                return;
            }
        }
    }
    _appendEnviron(block, built);
    free(built);
}

const char *getEnvironValue(EnvironBlock block, const char *name)
{
    if (block == nullptr)
        return nullptr;
    size_t nameLength = strlen(name);
    for (size_t i = 0; block[i] != nullptr; ++i) {
        if (entryMatches(block[i], name, nameLength))
            return block[i] + nameLength + 1;
    }
    return nullptr;
}

EnvironBlock copyEnvironment(EnvironBlock block)
{
    if (block == nullptr)
        return nullptr;
    size_t count = entryCount(block);
    auto copy = static_cast<EnvironBlock>(resizeOrAbort(nullptr, (count + 1) * sizeof(char *)));
    for (size_t i = 0; i < count; ++i)
        copy[i] = copyBytes(block[i], strlen(block[i]));
    copy[count] = nullptr;
    return copy;
}

void freeSetEnvironment()
{
    std::lock_guard<std::mutex> guard(environmentLock);
    freeSetEnvironment(childEnvironment);
}

void setEnvironVariable(const char *name, const char *value)
{
    std::lock_guard<std::mutex> guard(environmentLock);
    setEnvironVariable(childEnvironment, name, value);
}

const char *getEnvironValue(const char *name)
{
    return getEnvironValue(childEnvironment, name);
}

void replaceEnvironment(const void *data, size_t length)
{
    std::lock_guard<std::mutex> guard(environmentLock);
    freeSetEnvironment(childEnvironment);
    const char *bytes = static_cast<const char *>(data);
    auto block = static_cast<EnvironBlock>(resizeOrAbort(nullptr, sizeof(char *)));
    size_t count = 0;
    if (bytes != nullptr && length > 0) {
        size_t offset = 0;
        // Never reads at or past bytes + length; a last string without its NUL ends there.
        while (offset < length && bytes[offset] != '\0') {
            const void *nul = memchr(bytes + offset, '\0', length - offset);
            size_t stringLength = nul != nullptr
                                      ? static_cast<size_t>(static_cast<const char *>(nul) - (bytes + offset))
                                      : length - offset;
            block = static_cast<EnvironBlock>(resizeOrAbort(block, (count + 1) * sizeof(char *)));
            block[count++] = copyBytes(bytes + offset, stringLength);
            offset += stringLength + 1;
        }
        block = static_cast<EnvironBlock>(resizeOrAbort(block, (count + 1) * sizeof(char *)));
    }
    block[count] = nullptr;
    childEnvironment = block;
}

EnvironBlock snapshotEnvironment()
{
    std::lock_guard<std::mutex> guard(environmentLock);
    return copyEnvironment(childEnvironment);
}
