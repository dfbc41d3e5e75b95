#include "host/mi_record.h"

#include <charconv>

namespace local_debugger {

namespace {

bool isNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

class Parser {
public:
    explicit Parser(std::string_view line) : line_(line) {}

    bool atEnd() const { return pos_ == line_.size(); }
    bool peek(char c) const { return pos_ < line_.size() && line_[pos_] == c; }
    bool take(char c)
    {
        if (!peek(c))
            return false;
        ++pos_;
        return true;
    }

    std::string_view name()
    {
        size_t start = pos_;
        while (pos_ < line_.size() && isNameChar(line_[pos_]))
            ++pos_;
        return line_.substr(start, pos_ - start);
    }

    std::optional<uint64_t> token()
    {
        size_t start = pos_;
        while (pos_ < line_.size() && isDigit(line_[pos_]))
            ++pos_;
        if (pos_ == start)
            return std::nullopt;
        uint64_t value = 0;
        auto [end, error] = std::from_chars(line_.data() + start, line_.data() + pos_, value);
        if (error != std::errc{} || end != line_.data() + pos_) {
            failed_ = true; // too long for a token: not something the debugger wrote
            return std::nullopt;
        }
        return value;
    }

    // A quoted c-string; the opening quote is next.
    std::optional<std::string> cString()
    {
        if (!take('"'))
            return std::nullopt;
        std::string out;
        while (pos_ < line_.size()) {
            char c = line_[pos_++];
            if (c == '"')
                return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ == line_.size())
                return std::nullopt;
            c = line_[pos_++];
            if (c >= '0' && c <= '7') {
                // Up to three octal digits make one byte: how the debugger writes non-ASCII.
                unsigned value = static_cast<unsigned>(c - '0');
                for (int i = 0; i < 2 && pos_ < line_.size() && line_[pos_] >= '0' && line_[pos_] <= '7'; ++i)
                    value = value * 8 + static_cast<unsigned>(line_[pos_++] - '0');
                if (value > 0xff)
                    return std::nullopt;
                out += static_cast<char>(value);
                continue;
            }
            switch (c) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'v':
                out += '\v';
                break;
            case 'e':
                out += '\x1b';
                break;
            default:
                out += c;
                break; // \" \\ and anything unknown stand for themselves
            }
        }
        return std::nullopt; // no closing quote
    }

    std::optional<MiValue> value(int depth)
    {
        if (peek('"')) {
            auto text = cString();
            if (!text)
                return std::nullopt;
            MiValue v;
            v.string = std::move(*text);
            return v;
        }
        bool tuple = peek('{');
        if (!tuple && !peek('['))
            return std::nullopt;
        if (depth >= maxMiNesting)
            return std::nullopt;
        ++pos_;
        MiValue v;
        v.kind = tuple ? MiValue::Kind::Tuple : MiValue::Kind::List;
        char close = tuple ? '}' : ']';
        if (take(close))
            return v;
        do {
            // A list holds values or results; a tuple only results.
            auto item = tuple ? result(depth + 1) : element(depth + 1);
            if (!item)
                return std::nullopt;
            v.items.push_back(std::move(*item));
        } while (take(','));
        if (!take(close))
            return std::nullopt;
        return v;
    }

    std::optional<MiResult> result(int depth)
    {
        std::string_view variable = name();
        if (variable.empty() || !take('='))
            return std::nullopt;
        auto v = value(depth);
        if (!v)
            return std::nullopt;
        return MiResult{std::string(variable), std::move(*v)};
    }

    // A name=value result, or a bare value (kept with an empty name).
    std::optional<MiResult> element(int depth)
    {
        if (peek('"') || peek('{') || peek('[')) {
            auto v = value(depth);
            if (!v)
                return std::nullopt;
            return MiResult{{}, std::move(*v)};
        }
        return result(depth);
    }

    bool failed() const { return failed_; }
    char next() { return line_[pos_++]; } // the caller has checked !atEnd()

private:
    std::string_view line_;
    size_t pos_ = 0;
    bool failed_ = false;
};

std::optional<MiRecord::Kind> recordKind(char c)
{
    switch (c) {
    case '^':
        return MiRecord::Kind::Result;
    case '*':
        return MiRecord::Kind::ExecAsync;
    case '+':
        return MiRecord::Kind::StatusAsync;
    case '=':
        return MiRecord::Kind::NotifyAsync;
    case '~':
        return MiRecord::Kind::ConsoleStream;
    case '@':
        return MiRecord::Kind::TargetStream;
    case '&':
        return MiRecord::Kind::LogStream;
    default:
        return std::nullopt;
    }
}

bool isStream(MiRecord::Kind kind)
{
    return kind == MiRecord::Kind::ConsoleStream || kind == MiRecord::Kind::TargetStream ||
           kind == MiRecord::Kind::LogStream;
}

} // namespace

const MiValue *MiValue::find(std::string_view path) const
{
    const MiValue *at = this;
    while (at) {
        size_t dot = path.find('.');
        std::string_view segment = path.substr(0, dot);
        if (segment.empty() || at->kind == Kind::String)
            return nullptr;
        const MiValue *next = nullptr;
        size_t index = 0;
        auto [end, error] = std::from_chars(segment.data(), segment.data() + segment.size(), index);
        if (error == std::errc{} && end == segment.data() + segment.size()) {
            next = index < at->items.size() ? &at->items[index].value : nullptr;
        } else {
            for (const MiResult &item : at->items) {
                if (item.name == segment) {
                    next = &item.value;
                    break;
                }
            }
        }
        if (dot == std::string_view::npos)
            return next;
        at = next;
        path.remove_prefix(dot + 1);
    }
    return nullptr;
}

std::optional<std::string_view> MiValue::text(std::string_view path) const
{
    const MiValue *v = find(path);
    if (!v || v->kind != Kind::String)
        return std::nullopt;
    return std::string_view(v->string);
}

std::optional<MiRecord> parseMiRecord(std::string_view line)
{
    MiRecord record;
    if (line.starts_with("(gdb)")) {
        if (line.find_first_not_of(' ', 5) != std::string_view::npos)
            return std::nullopt;
        record.kind = MiRecord::Kind::Prompt;
        return record;
    }

    Parser parser(line);
    record.token = parser.token();
    if (parser.failed() || parser.atEnd())
        return std::nullopt;
    auto kind = recordKind(parser.next());
    if (!kind || (record.token && isStream(*kind)))
        return std::nullopt;
    record.kind = *kind;

    if (isStream(*kind)) {
        auto text = parser.cString();
        if (!text || !parser.atEnd())
            return std::nullopt;
        record.streamText = std::move(*text);
        return record;
    }

    std::string_view resultClass = parser.name();
    if (resultClass.empty())
        return std::nullopt;
    record.resultClass = std::string(resultClass);
    while (parser.take(',')) {
        // A bare tuple here is how a breakpoint's further locations arrive after bkpt={...}.
        auto item = parser.element(0);
        if (!item)
            return std::nullopt;
        record.results.items.push_back(std::move(*item));
    }
    if (!parser.atEnd())
        return std::nullopt;
    return record;
}

} // namespace local_debugger
