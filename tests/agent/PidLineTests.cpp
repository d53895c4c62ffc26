#include "agent/PidLine.h"

#include <gtest/gtest.h>

namespace quern {
namespace {

struct PidCase {
    const char* name;
    std::string description;
    std::optional<std::string> expected;
};

TEST(PidLine, FindsTheProcessIdOnlyWhereItIsSafeToSignal) {
    const std::vector<PidCase> cases = {
        {"tab and blank", "gui/501/x = {\n\tpid = 4711\n}\n", "4711"},
        {"first of two lines wins even when bad", "\tpid = x\n\tpid = 12\n", std::nullopt},
        {"line ends at the equals sign", "\tpid =\n", std::nullopt},
        {"plus sign kept", "\tpid = +42\n", "+42"},
        {"leading zeros kept", "\tpid = 00913\n", "00913"},
        {"capitals do not match", "PID = 7\n", std::nullopt},
        {"no-break and ideographic spaces trimmed",
         "pid =\xC2\xA0"
         "77\xE3\x80\x80\n",
         "77"},
        {"carriage return is not a blank", "pid = 9\r\n", std::nullopt},
        {"zero refused", "\tpid = 0\n", std::nullopt},
        {"negative refused", "\tpid = -1\n", std::nullopt},
        {"beyond 64 bits", "\tpid = 99999999999999999999\n", std::nullopt},
        {"largest int64 is read", "\tpid = 9223372036854775807\n", "9223372036854775807"},
        {"a digit of another script", "\tpid = \u0663\n", std::nullopt}, // Arabic-Indic three
    };
    for (const PidCase& c : cases)
        EXPECT_EQ(pidTextFromDescription(c.description), c.expected) << c.name;
}

} // namespace
} // namespace quern
