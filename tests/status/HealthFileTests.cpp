#include "status/HealthFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quern {
namespace {

TEST(HealthFile, OnlyAWellFormedObjectMakesARecord) {
    struct Case {
        const char* name;
        std::string contents;
        bool record;
    };
    const std::vector<Case> cases = {
        {"object", R"({"server_ok_at": 1733540000.5, "busy_command_id": "c1", "extra": [1]})", true},
        {"integer time", R"({"server_ok_at": 1733540000})", true},
        {"empty object", "{}", false}, // a record, but an empty one
        {"empty file", "", false},
        {"blanks", " \n\t ", false},
        {"array", "[1, 2]", false},
        {"bare number", "42", false},
        {"bare string", "\"ok\"", false},
        {"trailing comma", R"({"server_ok_at": 1,})", false},
        {"comment", "{\"server_ok_at\": 1 /* now */}", false},
        {"torn write", R"({"server_ok_at": 17335)", false},
        {"invalid UTF-8 inside a string", "{\"busy_command_id\": \"\xff\"}", false},
        {"two documents", "{} {}", false},
        {"anything after a NUL byte", std::string(R"({"server_ok_at": 1})") + '\0' + "{\xff", false},
        {"zero-filled tail", std::string(R"({"server_ok_at": 1})") + std::string(8, '\0'), false},
    };
    for (const Case& c : cases) {
        const test::TempDir dir;
        test::writeFile(dir / "health.json", c.contents);
        const HealthRecord record = readHealthFile(dir / "health.json");
        EXPECT_TRUE(record.is_object()) << c.name;
        EXPECT_EQ(!record.empty(), c.record) << c.name;
    }
}

TEST(HealthFile, KeepsEveryMemberUnchanged) {
    const test::TempDir dir;
    test::writeFile(dir / "health.json",
                    R"({"server_ok_at": 12.25, "busy_command_id": " ", "version": "x"})");
    const HealthRecord record = readHealthFile(dir / "health.json");
    EXPECT_EQ(record.at("server_ok_at").get<double>(), 12.25);
    EXPECT_EQ(record.at("busy_command_id"), " ");
    EXPECT_EQ(record.at("version"), "x");
}

TEST(HealthFile, WhatIsNotASmallRegularFileGivesTheEmptyRecordWithoutBlocking) {
    const test::TempDir dir;
    const std::string fifo = dir / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string unreadable = dir / "unreadable.json";
    test::writeFile(unreadable, R"({"server_ok_at": 1})");
    ::chmod(unreadable.c_str(), 0);
    const std::string large = dir / "large.json";
    test::writeFile(large, R"({"pad": ")" + std::string(2 << 20, 'x') + R"("})");
    const std::string justOver = dir / "over.json";
    test::writeFile(justOver, R"({"pad": ")" + std::string(kHealthFileLimit, 'x') + R"("})");
    const std::string zeroLink = dir / "zero.json";
    ASSERT_EQ(::symlink("/dev/zero", zeroLink.c_str()), 0);
    ::mkdir((dir / "directory.json").c_str(), 0700);

    const bool root = ::geteuid() == 0; // root reads files whatever their mode
    for (const std::string& path :
         {fifo, large, justOver, zeroLink, dir / "directory.json", dir / "missing.json", std::string()}) {
        EXPECT_TRUE(readHealthFile(path).empty()) << path;
    }
    EXPECT_EQ(readHealthFile(unreadable).empty(), !root);

    const std::string atLimit = dir / "limit.json";
    std::string body = R"({"server_ok_at": 1, "pad": ")";
    body += std::string(kHealthFileLimit - body.size() - 2, 'x') + "\"}";
    ASSERT_EQ(body.size(), kHealthFileLimit);
    test::writeFile(atLimit, body);
    EXPECT_FALSE(readHealthFile(atLimit).empty());
}

} // namespace
} // namespace quern
