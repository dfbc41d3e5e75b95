#include "platform/message.h"

namespace local_debugger {

const MessageValue *MessageDictionary::find(std::string_view key) const
{
    for (const auto &[name, value] : entries_) {
        if (name == key)
            return &value;
    }
    return nullptr;
}

std::optional<std::string_view> MessageDictionary::getString(std::string_view key) const
{
    const MessageValue *value = find(key);
    if (value == nullptr || !std::holds_alternative<std::string>(*value))
        return std::nullopt;
    return std::string_view(std::get<std::string>(*value));
}

const MessageBytes *MessageDictionary::getData(std::string_view key) const
{
    const MessageValue *value = find(key);
    if (value == nullptr || !std::holds_alternative<MessageBytes>(*value))
        return nullptr;
    return &std::get<MessageBytes>(*value);
}

std::optional<bool> MessageDictionary::getBool(std::string_view key) const
{
    const MessageValue *value = find(key);
    if (value == nullptr || !std::holds_alternative<bool>(*value))
        return std::nullopt;
    return std::get<bool>(*value);
}

void MessageDictionary::set(std::string key, MessageValue value)
{
    for (auto &[name, existing] : entries_) {
        if (name == key) {
            existing = std::move(value);
            return;
        }
    }
    entries_.emplace_back(std::move(key), std::move(value));
}

void MessageDictionary::setString(std::string key, std::string value)
{
    set(std::move(key), MessageValue(std::move(value)));
}

void MessageDictionary::setData(std::string key, MessageBytes value)
{
    set(std::move(key), MessageValue(std::move(value)));
}

void MessageDictionary::setBool(std::string key, bool value)
{
    set(std::move(key), MessageValue(value));
}

void MessageDictionary::add(std::string key, MessageValue value)
{
    entries_.emplace_back(std::move(key), std::move(value));
}

} // namespace local_debugger
