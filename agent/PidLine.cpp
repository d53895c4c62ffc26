#include "agent/PidLine.h"

#include <array>
#include <charconv>

namespace quern {
namespace {

// UTF-8 encodings of U+0020, U+00A0, U+1680, U+2000..U+200A, U+202F, U+205F, U+3000, and the tab.
constexpr std::array<std::string_view, 18> kBlanks = {
    "\t",           " ",
    "\xC2\xA0",     "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xAF",
    "\xE2\x81\x9F", "\xE3\x80\x80",
};

bool dropBlankPrefix(std::string_view& text) {
    for (std::string_view blank : kBlanks) {
        if (text.starts_with(blank)) {
            text.remove_prefix(blank.size());
            return true;
        }
    }
    return false;
}

bool dropBlankSuffix(std::string_view& text) {
    for (std::string_view blank : kBlanks) {
        if (text.ends_with(blank)) {
            text.remove_suffix(blank.size());
            return true;
        }
    }
    return false;
}

// Trims tabs and characters of Unicode category Zs (UTF-8) from both ends.
std::string_view trimBlanks(std::string_view text) {
    while (dropBlankPrefix(text)) {
    }
    while (dropBlankSuffix(text)) {
    }
    return text;
}

// An optional sign and one or more ASCII digits, fitting in int64; nothing else.
std::optional<long long> parseDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    // Parse with the sign attached so that the most negative int64 still fits.
    std::string signedText = negative ? "-" : "";
    signedText.append(text);
    long long value = 0;
    const auto [end, error] =
        std::from_chars(signedText.data(), signedText.data() + signedText.size(), value);
    if (error != std::errc{} || end != signedText.data() + signedText.size())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::string> pidTextFromDescription(std::string_view description) {
    std::string_view pidLine;
    bool found = false;
    while (!description.empty()) {
        const size_t cut = description.find('\n');
        const std::string_view line = description.substr(0, cut);
        description = cut == std::string_view::npos ? std::string_view{} : description.substr(cut + 1);
        if (line.find("pid =") != std::string_view::npos) {
            pidLine = line;
            found = true;
            break;
        }
    }
    if (!found)
        return std::nullopt;

    // The last non-empty piece between equals signs.
    std::string_view lastPiece;
    while (!pidLine.empty()) {
        const size_t cut = pidLine.find('=');
        const std::string_view piece = pidLine.substr(0, cut);
        if (!piece.empty())
            lastPiece = piece;
        pidLine = cut == std::string_view::npos ? std::string_view{} : pidLine.substr(cut + 1);
    }

    const std::string_view pidText = trimBlanks(lastPiece);
    const std::optional<long long> value = parseDecimal(pidText);
    if (!value || *value <= 0)
        return std::nullopt;
    return std::string(pidText);
}

} // namespace quern
