#pragma once
// The message dictionary and the three message shapes carried over a connection.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace local_debugger {

using MessageBytes = std::vector<uint8_t>;
// std::monostate stands for a value of a type the dictionary does not carry.
using MessageValue = std::variant<std::monostate, std::string, MessageBytes, bool>;

class MessageDictionary {
public:
    // Of a key given twice the first counts; a value of the wrong type reads as missing.
    std::optional<std::string_view> getString(std::string_view key) const;
    const MessageBytes *getData(std::string_view key) const;
    std::optional<bool> getBool(std::string_view key) const;

    void setString(std::string key, std::string value);
    void setData(std::string key, MessageBytes value);
    void setBool(std::string key, bool value);
    void add(std::string key, MessageValue value);

    const std::vector<std::pair<std::string, MessageValue>> &entries() const { return entries_; }

private:
    const MessageValue *find(std::string_view key) const;
    void set(std::string key, MessageValue value);
    std::vector<std::pair<std::string, MessageValue>> entries_;
};

enum class MessageKind { Request, Reply, Plain };

struct Message {
    MessageKind kind = MessageKind::Plain;
    uint32_t msgid = 0; // requests and replies only
    MessageDictionary dictionary;
    // A value of it could not be kept for lack of memory, and reads as missing.
    bool incomplete = false;
};

} // namespace local_debugger
