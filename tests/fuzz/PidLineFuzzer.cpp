// libFuzzer target: untrusted output of "launchctl print" through pidTextFromDescription, with
// trimBlanks, parseDecimal and isValidUtf8 checked against plain reference versions.
#include "FuzzCheck.h"

#include "agent/PidLine.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace quern;

// The first line (between line feeds) that contains "pid =", if any.
std::optional<std::string_view> firstPidLine(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        if (line.find("pid =") != std::string_view::npos)
            return line;
        start = end + 1;
    }
    return std::nullopt;
}

// Code point of the UTF-8 sequence starting at text[i] (valid UTF-8 assumed), and its length.
std::uint32_t decodeAt(std::string_view text, std::size_t i, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k)
        code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    return code;
}

bool isBlank(std::uint32_t code) {
    return code == '\t' || code == 0x20 || code == 0xA0 || code == 0x1680 ||
           (code >= 0x2000 && code <= 0x200A) || code == 0x202F || code == 0x205F || code == 0x3000;
}

// Trims by whole code points; only meaningful for valid UTF-8.
std::string_view referenceTrim(std::string_view text) {
    std::size_t length = 0;
    while (!text.empty() && isBlank(decodeAt(text, 0, length)))
        text.remove_prefix(length);
    while (!text.empty()) {
        std::size_t start = text.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        if (!isBlank(decodeAt(text, start, length)))
            break;
        text.remove_suffix(text.size() - start);
    }
    return text;
}

// Decides "fits in int64" by counting digits instead of by overflow of a conversion.
std::optional<long long> referenceDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
    if (text.size() > 19)
        return std::nullopt;
    unsigned long long magnitude = 0;
    for (const char c : text)
        magnitude = magnitude * 10 + static_cast<unsigned long long>(c - '0');
    const unsigned long long limit = negative ? 9'223'372'036'854'775'808ull : 9'223'372'036'854'775'807ull;
    if (magnitude > limit)
        return std::nullopt;
    if (negative)
        return magnitude == limit ? std::numeric_limits<long long>::min()
                                  : -static_cast<long long>(magnitude);
    return static_cast<long long>(magnitude);
}

// What pidTextFromDescription should give, built from the reference pieces above.
std::optional<std::string> referencePid(std::string_view description) {
    const std::optional<std::string_view> line = firstPidLine(description);
    if (!line)
        return std::nullopt;
    std::string_view last;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line->find('=', start);
        const std::string_view piece = line->substr(start, end == std::string_view::npos ? end : end - start);
        if (!piece.empty())
            last = piece;
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    const std::string_view text = referenceTrim(last);
    const std::optional<long long> value = referenceDecimal(text);
    if (!value || *value <= 0)
        return std::nullopt;
    return std::string(text);
}

bool within(std::string_view inner, std::string_view outer) {
    return inner.data() >= outer.data() && inner.data() + inner.size() <= outer.data() + outer.size();
}

void checkTrim(std::string_view text) {
    const std::string_view trimmed = trimBlanks(text);
    FUZZ_REQUIRE(within(trimmed, text));
    FUZZ_REQUIRE(trimBlanks(trimmed) == trimmed);
    if (!trimmed.empty()) {
        FUZZ_REQUIRE(trimmed.front() != '\t' && trimmed.front() != ' ');
        FUZZ_REQUIRE(trimmed.back() != '\t' && trimmed.back() != ' ');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const bool valid = isValidUtf8(input);
    FUZZ_REQUIRE(valid == fuzz::referenceUtf8(input));
    if (fuzz::isAscii(input))
        FUZZ_REQUIRE(valid);

    checkTrim(input);
    FUZZ_REQUIRE(parseDecimal(input) == referenceDecimal(input));
    if (valid)
        FUZZ_REQUIRE(trimBlanks(input) == referenceTrim(input));

    const std::optional<std::string> pid = pidTextFromDescription(input);
    const std::optional<std::string_view> line = firstPidLine(input);
    if (pid) {
        const std::string& text = *pid;
        FUZZ_REQUIRE(!text.empty());
        const std::optional<long long> value = parseDecimal(text);
        FUZZ_REQUIRE(value && *value > 0);
        FUZZ_REQUIRE(text.front() != '\t' && text.front() != ' ');
        FUZZ_REQUIRE(text.back() != '\t' && text.back() != ' ');
        FUZZ_REQUIRE(trimBlanks(text) == text);
        FUZZ_REQUIRE(text.find_first_of("=\n\r") == std::string::npos);
        FUZZ_REQUIRE(input.find(text) != std::string_view::npos);
        FUZZ_REQUIRE(input.find("pid =") != std::string_view::npos);
        FUZZ_REQUIRE(line && line->find(text) != std::string_view::npos);
    }
    if (!line)
        FUZZ_REQUIRE(!pid);
    // Exact agreement needs whole code points, so only for valid UTF-8.
    if (valid)
        FUZZ_REQUIRE(pid == referencePid(input));
    return 0;
}
