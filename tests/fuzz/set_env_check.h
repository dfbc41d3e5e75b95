#pragma once
// The set_env payload parser and the block routines against a plain model. The whole input is
// the payload; whatever follows its ending empty string, which the parser must ignore, is
// used here as a script of edits to the block that results.

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "environment/environment_block.h"
#include "tests/fuzz/check_support.h"

namespace fuzzcheck {

namespace setenv {

struct Parsed {
    std::vector<std::string> entries;
    size_t scriptAt = 0; // just past the ending empty string; the length when there is none
};

inline Parsed referenceParse(const char *data, size_t length)
{
    Parsed parsed;
    size_t at = 0;
    while (at < length && data[at] != '\0') {
        size_t end = at;
        while (end < length && data[end] != '\0')
            ++end;
        parsed.entries.emplace_back(data + at, end - at);
        at = end + 1;
    }
    parsed.scriptAt = at < length ? at + 1 : length;
    return parsed;
}

inline void requireBlock(EnvironBlock block, const std::vector<std::string> &model, const char *what)
{
    require(block != nullptr, what);
    for (size_t i = 0; i < model.size(); ++i) {
        require(block[i] != nullptr, what);
        require(strlen(block[i]) == model[i].size() && memcmp(block[i], model[i].data(), model[i].size()) == 0, what);
    }
    require(block[model.size()] == nullptr, what);
}

inline std::optional<size_t> modelFind(const std::vector<std::string> &model, const std::string &name)
{
    for (size_t i = 0; i < model.size(); ++i) {
        const std::string &entry = model[i];
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=')
            return i;
    }
    return std::nullopt;
}

inline void modelSet(std::vector<std::string> &model, const std::string &name, const std::string &value)
{
    if (std::optional<size_t> at = modelFind(model, name))
        model[*at] = name + "=" + value;
    else
        model.push_back(name + "=" + value);
}

class Script {
public:
    Script(const char *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? static_cast<uint8_t>(data_[at_++]) : 0; }
    // Up to count bytes, stopping before a NUL, which ends a C string anyway.
    std::string text(size_t count)
    {
        std::string text;
        while (text.size() < count && at_ < size_ && data_[at_] != '\0')
            text.push_back(data_[at_++]);
        return text;
    }

private:
    const char *data_;
    size_t size_;
    size_t at_ = 0;
};

// Names worth asking for: each entry's own, and near misses of it.
inline std::string pickName(Script &script, const std::vector<std::string> &model)
{
    const uint8_t choice = script.byte();
    if (model.empty() || choice % 8 == 7)
        return script.text(choice % 5);
    const std::string &entry = model[(choice / 8) % model.size()];
    const std::string own = entry.substr(0, entry.find('='));
    switch (choice % 8) {
    case 0:
    case 1:
    case 2:
        return own;
    case 3:
        return own.empty() ? own : own.substr(0, own.size() - 1);
    case 4:
        return own + "X";
    case 5:
        return entry; // the whole entry, "=" and all
    default:
        return entry.substr(0, entry.size() / 2);
    }
}

inline const char *lockedGet(const std::string &name)
{
    std::lock_guard<std::mutex> guard(environmentLock);
    return getEnvironValue(name.c_str());
}

inline void checkGet(const std::vector<std::string> &model, const std::string &name)
{
    std::lock_guard<std::mutex> guard(environmentLock);
    const char *value = getEnvironValue(name.c_str());
    const char *direct = getEnvironValue(childEnvironment, name.c_str());
    require(value == direct, "the two getEnvironValue forms disagree");
    std::optional<size_t> at = modelFind(model, name);
    if (!at) {
        require(value == nullptr, "getEnvironValue found a name no entry matches");
        return;
    }
    // The value must point into the block's own entry, right after its "=".
    require(value == childEnvironment[*at] + name.size() + 1, "getEnvironValue did not point into the first match");
    require(strcmp(value, model[*at].c_str() + name.size() + 1) == 0, "getEnvironValue returned another value");
}

inline void runScript(Script &script, std::vector<std::string> &model)
{
    for (int steps = 0; steps < 64 && !script.empty(); ++steps) {
        const uint8_t op = script.byte();
        const std::string name = pickName(script, model);
        switch (op % 4) {
        case 0:
            checkGet(model, name);
            break;
        case 1: {
            const std::string value = script.text(op % 11);
            setEnvironVariable(name.c_str(), value.c_str());
            modelSet(model, name, value);
            break;
        }
        case 2: {
            // A value taken from the very entry that is being replaced.
            const char *current = lockedGet(name);
            if (current == nullptr)
                break;
            const std::string expected = current;
            setEnvironVariable(name.c_str(), current);
            modelSet(model, name, expected);
            break;
        }
        default: {
            std::lock_guard<std::mutex> guard(environmentLock);
            const std::string entry = name + script.text(op % 7);
            char *stored = _appendEnviron(childEnvironment, entry.c_str());
            require(stored != entry.c_str() && strcmp(stored, entry.c_str()) == 0, "_appendEnviron did not store a copy");
            model.push_back(entry);
            break;
        }
        }
        std::lock_guard<std::mutex> guard(environmentLock);
        requireBlock(childEnvironment, model, "block differs from the model after an edit");
    }
}

} // namespace setenv

inline std::optional<std::string> checkSetEnv(const uint8_t *data, size_t size)
{
    return runCheck([&] {
        using namespace setenv;
        // Exactly the payload's size, so that reading one byte past it is caught.
        std::unique_ptr<char[]> payload(new char[size]);
        if (size > 0)
            memcpy(payload.get(), data, size);
        const Parsed parsed = referenceParse(payload.get(), size);

        if (size == 0) {
            replaceEnvironment(nullptr, 0);
            {
                std::lock_guard<std::mutex> guard(environmentLock);
                requireBlock(childEnvironment, {}, "no data must give an empty block");
            }
        }
        setEnvironVariable("LD_FUZZ_EARLIER", "1");
        replaceEnvironment(payload.get(), size);
        {
            std::lock_guard<std::mutex> guard(environmentLock);
            requireBlock(childEnvironment, parsed.entries, "block differs from the payload's strings");
        }

        std::vector<std::string> model = parsed.entries;
        for (const std::string &entry : parsed.entries)
            checkGet(model, entry.substr(0, entry.find('=')));
        Script script(payload.get() + parsed.scriptAt, size - parsed.scriptAt);
        runScript(script, model);

        // A child's copy takes edits of its own; the service's block stays as it was.
        EnvironBlock copy = snapshotEnvironment();
        requireBlock(copy, model, "snapshot differs from the block");
        setEnvironVariable(copy, "LD_FUZZ_CHILD", "1");
        std::vector<std::string> childModel = model;
        modelSet(childModel, "LD_FUZZ_CHILD", "1");
        requireBlock(copy, childModel, "edit of a copy went wrong");
        {
            std::lock_guard<std::mutex> guard(environmentLock);
            requireBlock(childEnvironment, model, "edit of a copy reached the block");
            for (size_t i = 0; i < model.size(); ++i)
                require(copy[i] != childEnvironment[i], "snapshot shares strings with the block");
        }
        freeSetEnvironment(copy);
        require(copy == nullptr, "a released copy is not absent");

        freeSetEnvironment();
        std::lock_guard<std::mutex> guard(environmentLock);
        require(childEnvironment == nullptr, "a released block is not absent");
        require(getEnvironValue("A") == nullptr, "an absent block has values");
    });
}

} // namespace fuzzcheck
