#include "host/session/lldb_session.h"

namespace local_debugger {

std::optional<LldbSession::Line> LldbSession::line(std::string_view text)
{
    if (text.find('\n') != std::string_view::npos)
        return std::nullopt;
    return Line{++last_, std::string(text) + "\n"};
}

LldbSession::Line LldbSession::request(const nlohmann::json &request)
{
    // JSON text escapes every newline in its strings: the dump is one line.
    return *line(request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::optional<LldbRecord> LldbSession::read(std::string_view line)
{
    nlohmann::json fields = nlohmann::json::parse(line, nullptr, false);
    if (!fields.is_object())
        return std::nullopt;
    const std::string type = fields.value("type", "");
    const LldbRecord::Kind kind = type == "result"    ? LldbRecord::Kind::Result
                                  : type == "process" ? LldbRecord::Kind::Process
                                  : type == "output"  ? LldbRecord::Kind::Output
                                  : type == "error"   ? LldbRecord::Kind::Error
                                                      : LldbRecord::Kind::Other;
    return LldbRecord{kind, std::move(fields)};
}

} // namespace local_debugger
