#include "status/HealthFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace quern {
namespace {

// FIFOs, directories, devices and unreadable files are rows of the fault suite.
TEST(HealthFile, OnlyAWholeWellFormedObjectMakesARecord) {
    struct Case {
        const char* name;
        std::string contents;
        bool record;
    };
    const std::vector<Case> cases = {
        {"object", R"({"server_ok_at": 1733540000.5, "busy_command_id": "c1", "extra": [1]})", true},
        {"empty object", "{}", false}, // a record, but an empty one
        {"empty file", "", false},
        {"blanks", " \n\t ", false},
        {"array", "[1, 2]", false},
        {"bare number", "42", false},
        {"trailing comma", R"({"server_ok_at": 1,})", false},
        {"comment", "{\"server_ok_at\": 1 /* now */}", false},
        {"torn write", R"({"server_ok_at": 17335)", false},
        {"invalid UTF-8 inside a string", "{\"busy_command_id\": \"\xff\"}", false},
        {"two documents", "{} {}", false},
        {"zero-filled tail after a crash", std::string(R"({"server_ok_at": 1})") + std::string(8, '\0'),
         false},
    };
    const test::TempDir dir;
    for (const Case& c : cases) {
        test::writeFile(dir / "health.json", c.contents);
        const HealthRecord record = readHealthFile(dir / "health.json");
        EXPECT_TRUE(record.is_object()) << c.name;
        EXPECT_EQ(!record.empty(), c.record) << c.name;
    }
}

TEST(HealthFile, AFileOfExactlyTheLimitIsReadAndOneByteMoreIsNot) {
    const test::TempDir dir;
    std::string body = R"({"server_ok_at": 1, "pad": ")";
    body += std::string(kHealthFileLimit - body.size() - 2, 'x') + "\"}";
    ASSERT_EQ(body.size(), kHealthFileLimit);
    test::writeFile(dir / "limit.json", body);
    EXPECT_FALSE(readHealthFile(dir / "limit.json").empty());
    body.insert(body.size() - 2, "x");
    test::writeFile(dir / "over.json", body);
    EXPECT_TRUE(readHealthFile(dir / "over.json").empty());
}

} // namespace
} // namespace quern
