#include "standins/JobRecord.h"
#include "standins/Plist.h"

#include <gtest/gtest.h>

#include <tuple>

namespace quern::standins {
namespace {

std::string plist(const std::string& body) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>)" +
           body + "</dict></plist>\n";
}

const std::string kLabel = "<key>Label</key><string>com.example.job</string>";
const std::string kArgsKey = "<key>ProgramArguments</key>";
const std::string kArgs = kArgsKey + "<array><string>/bin/agent</string></array>";

TEST(PlistTest, ReadsTheJobKeysIgnoresTheRestAndRefusesWhatLaunchdWould) {
    using enum PlistError;
    const std::vector<std::tuple<std::string, PlistError, JobDefinition>> cases = {
        {plist(kLabel + R"(<key>Env</key><dict><key>N</key><integer>3</integer></dict>
            <key>ProgramArguments</key><array><string>/Zoë/Quern Zova/agent</string>
                <string>a &amp; b &lt;c&gt; <![CDATA[<raw>]]></string><string></string></array>
            <key>Sockets</key><array><dict><key>SockType</key><string>stream</string></dict></array>
            <key>KeepAlive</key><true/><key>RunAtLoad</key><false/><key>Blob</key><data>AAEC</data>
            <key>StartDate</key><date>2024-01-01T00:00:00Z</date><key>Nice</key><real>1.5</real>
            <key>StandardOutPath</key><string>/o log</string><key>StandardErrorPath</key><string>/e</string>)"),
         None,
         {"com.example.job", "", {"/Zoë/Quern Zova/agent", "a & b <c> <raw>", ""}, true, "/o log", "/e"}},
        {plist(kLabel + "<key>Program</key><string>/bin/agent</string><key>KeepAlive</key><false/>"),
         None,
         {"com.example.job", "/bin/agent", {"/bin/agent"}, false, "", ""}},
        {plist(kLabel + "<key>Program</key><string>/bin/real</string>" + kArgs +
               "<key>KeepAlive</key><dict><key>SuccessfulExit</key><false/></dict>"),
         None,
         {"com.example.job", "/bin/real", {"/bin/agent"}, true, "", ""}},
        {plist(kLabel + kArgs).substr(0, 150), Malformed, {}},
        {"<dict><key>Label</key><string>x</string></dict>", Malformed, {}},
        {plist(kLabel + kArgs + "<key>KeepAlive</key>"), Malformed, {}},
        {plist(kLabel + "<key>Program</key><string>/a<string>b</string></string>"), Malformed, {}},
        {plist(kArgs), MissingLabel, {}},
        {plist("<key>Label</key><integer>7</integer>" + kArgs), MissingLabel, {}},
        {plist("<key>Label</key><string>a/b</string>" + kArgs), MissingLabel, {}},
        {plist(kLabel), MissingProgram, {}},
        {plist(kLabel + kArgsKey + "<array><string></string></array>"), MissingProgram, {}},
    };
    for (const auto& [xml, error, definition] : cases) {
        const PlistResult result = parseJobPlist(xml);
        EXPECT_TRUE(result.error == error && result.detail.empty() == (error == None))
            << xml << result.detail;
        EXPECT_EQ(result.definition, definition) << xml;
    }
}

TEST(JobRecordTest, RoundTripsAnyArgumentsAndRefusesDamagedRecords) {
    const auto sample = [](LastExit lastExit) {
        return JobRecord{{"com.example.quern.bridge",
                          "/opt/quern/agent",
                          {"agent", "two words", "line\nbreak", "100% \t tab", "", "ünï ✓"},
                          true,
                          "/o%20ut",
                          ""},
                         "/home/zoë/Library/LaunchAgents/com.example.quern.bridge.plist",
                         4321,
                         987654321,
                         3,
                         123456789,
                         lastExit};
    };
    for (const LastExit exit :
         {LastExit{}, LastExit{LastExit::Kind::Exited, 3}, {LastExit::Kind::Signaled, 9}})
        EXPECT_EQ(parseRecord(serializeRecord(sample(exit))), sample(exit));

    const std::string text = serializeRecord(sample({}));
    for (std::size_t length = 0; length < text.size(); ++length)
        ASSERT_FALSE(parseRecord(text.substr(0, length))) << "accepted the first " << length << " bytes";
    const auto damaged = [&](const std::string& from, const std::string& to) {
        return std::string(text).replace(text.find(from), from.size(), to);
    };
    for (const std::string& bad :
         {damaged("record 1", "record 9"), damaged("pid 4321", "pid -4321"), damaged("pid 4321", "pid 43x1"),
          damaged("%25", "%G5"), damaged("label com", "label ../com"),
          damaged("exit never", "exit sometimes")})
        EXPECT_FALSE(parseRecord(bad)) << bad;
}

} // namespace
} // namespace quern::standins
