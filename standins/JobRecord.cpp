#include "standins/JobRecord.h"

#include <charconv>

namespace quern::standins {
namespace {

constexpr std::string_view kMagic = "quern-launchd-record 1";
constexpr std::string_view kHex = "0123456789ABCDEF";

void appendEscaped(std::string& out, std::string_view value) {
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '%') {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xf]);
        } else {
            out.push_back(c);
        }
    }
}

int hexValue(char c) {
    const std::size_t at = kHex.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

std::optional<std::string> unescape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out.push_back(value[i]);
            continue;
        }
        if (i + 2 >= value.size())
            return std::nullopt;
        const int high = hexValue(value[i + 1]);
        const int low = hexValue(value[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

template <typename Number> bool parseNumber(std::string_view text, Number& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

void field(std::string& out, std::string_view key, std::string_view value) {
    out.append(key);
    out.push_back(' ');
    appendEscaped(out, value);
    out.push_back('\n');
}

} // namespace

std::string serializeRecord(const JobRecord& record) {
    std::string out(kMagic);
    out.push_back('\n');
    field(out, "label", record.definition.label);
    field(out, "plist", record.plistPath);
    field(out, "program", record.definition.program);
    for (const std::string& argument : record.definition.arguments)
        field(out, "arg", argument);
    field(out, "keepalive", record.definition.keepAlive ? "1" : "0");
    field(out, "stdout", record.definition.standardOutPath);
    field(out, "stderr", record.definition.standardErrorPath);
    field(out, "pid", std::to_string(record.pid));
    field(out, "start_ticks", std::to_string(record.startTicks));
    field(out, "runs", std::to_string(record.runs));
    field(out, "last_start_ms", std::to_string(record.lastStartMillis));
    switch (record.lastExit.kind) {
    case LastExit::Kind::Never:
        field(out, "last_exit", "never");
        break;
    case LastExit::Kind::Exited:
        field(out, "last_exit", "exit " + std::to_string(record.lastExit.code));
        break;
    case LastExit::Kind::Signaled:
        field(out, "last_exit", "signal " + std::to_string(record.lastExit.code));
        break;
    }
    out.append("end\n"); // a truncated record lacks this line and is refused
    return out;
}

std::optional<JobRecord> parseRecord(std::string_view text) {
    if (!text.starts_with(kMagic) || text.substr(kMagic.size(), 1) != "\n")
        return std::nullopt;
    text.remove_prefix(kMagic.size() + 1);
    JobRecord record;
    unsigned seen = 0; // one bit per mandatory key
    bool ended = false;
    while (!text.empty() && !ended) {
        const std::size_t newline = text.find('\n');
        if (newline == std::string_view::npos)
            return std::nullopt;
        const std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline + 1);
        if (line == "end") {
            ended = true;
            break;
        }
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos)
            return std::nullopt;
        const std::string_view key = line.substr(0, space);
        const std::optional<std::string> value = unescape(line.substr(space + 1));
        if (!value)
            return std::nullopt;
        bool ok = true;
        if (key == "label") {
            record.definition.label = *value;
            seen |= 1U << 0;
        } else if (key == "plist") {
            record.plistPath = *value;
            seen |= 1U << 1;
        } else if (key == "program") {
            record.definition.program = *value;
        } else if (key == "arg") {
            record.definition.arguments.push_back(*value);
        } else if (key == "keepalive") {
            ok = *value == "0" || *value == "1";
            record.definition.keepAlive = *value == "1";
        } else if (key == "stdout") {
            record.definition.standardOutPath = *value;
        } else if (key == "stderr") {
            record.definition.standardErrorPath = *value;
        } else if (key == "pid") {
            ok = parseNumber(*value, record.pid) && record.pid >= 0;
            seen |= 1U << 2;
        } else if (key == "start_ticks") {
            ok = parseNumber(*value, record.startTicks);
            seen |= 1U << 3;
        } else if (key == "runs") {
            ok = parseNumber(*value, record.runs);
        } else if (key == "last_start_ms") {
            ok = parseNumber(*value, record.lastStartMillis);
        } else if (key == "last_exit") {
            const std::string_view v = *value;
            if (v == "never") {
                record.lastExit = {};
            } else if (v.starts_with("exit ")) {
                record.lastExit.kind = LastExit::Kind::Exited;
                ok = parseNumber(v.substr(5), record.lastExit.code);
            } else if (v.starts_with("signal ")) {
                record.lastExit.kind = LastExit::Kind::Signaled;
                ok = parseNumber(v.substr(7), record.lastExit.code);
            } else {
                ok = false;
            }
        }
        // Unknown keys are skipped so an older stand-in can read a newer record.
        if (!ok)
            return std::nullopt;
    }
    if (!ended || seen != 0xF || !isUsableLabel(record.definition.label) ||
        record.definition.arguments.empty())
        return std::nullopt;
    return record;
}

} // namespace quern::standins
