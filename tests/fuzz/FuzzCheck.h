#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quern::fuzz {

// Stops the run; libFuzzer then keeps the input that broke the rule as a crash artifact.
[[noreturn]] inline void fail(const char* rule, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: broken rule: %s\n", file, line, rule);
    std::abort();
}

// A decoder written apart from platform/Utf8.cpp, to compare against it: it assembles each code
// point first and only then judges it (too short for its length, a surrogate, above U+10FFFF).
inline bool referenceUtf8(std::string_view text) {
    constexpr std::uint32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t code = 0;
        if ((lead & 0x80) == 0x00) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07u;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < kShortest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

inline bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace quern::fuzz

#define FUZZ_REQUIRE(condition)                                                                              \
    ((condition) ? static_cast<void>(0) : ::quern::fuzz::fail(#condition, __FILE__, __LINE__))
