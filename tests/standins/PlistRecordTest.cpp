#include "standins/JobRecord.h"
#include "standins/Plist.h"

#include <gtest/gtest.h>

#include <optional>

namespace quern::standins {
namespace {

std::string plist(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n" +
           std::string(body) + "\n</dict>\n</plist>\n";
}

constexpr std::string_view kArgs = "<key>ProgramArguments</key><array><string>/bin/agent</string></array>";
constexpr std::string_view kLabel = "<key>Label</key><string>com.example.job</string>";

TEST(PlistTest, ReadsLaunchdJobKeysAndSkipsTheRest) {
    const PlistResult result = parseJobPlist(plist(R"(
        <key>Label</key><string>com.example.quern.bridge</string>
        <key>EnvironmentVariables</key><dict><key>A</key><string>b</string><key>N</key><integer>3</integer></dict>
        <key>ProgramArguments</key>
        <array>
            <string>/Users/Zoë/Quern Zova/agent</string>
            <string>--busy</string>
            <string>a &amp; b &lt;c&gt; <![CDATA[<raw>]]></string>
            <string></string>
        </array>
        <key>Sockets</key><array><dict><key>SockType</key><string>stream</string></dict></array>
        <key>KeepAlive</key><true/>
        <key>RunAtLoad</key><false/>
        <key>ThrottleInterval</key><integer>10</integer>
        <key>StartDate</key><date>2024-01-01T00:00:00Z</date>
        <key>Blob</key><data>AAEC</data>
        <key>StandardOutPath</key><string>/tmp/out log</string>
        <key>StandardErrorPath</key><string>/tmp/err.log</string>)"));
    ASSERT_EQ(result.error, PlistError::None) << result.detail;
    const JobDefinition expected{
        .label = "com.example.quern.bridge",
        .program = "",
        .arguments = {"/Users/Zoë/Quern Zova/agent", "--busy", "a & b <c> <raw>", ""},
        .keepAlive = true,
        .standardOutPath = "/tmp/out log",
        .standardErrorPath = "/tmp/err.log"};
    EXPECT_EQ(result.definition, expected);
}

TEST(PlistTest, ProgramAndKeepAliveForms) {
    struct Case {
        std::string body;
        std::string program;
        std::vector<std::string> arguments;
        bool keepAlive;
    };
    const std::string label(kLabel);
    const std::vector<Case> cases = {
        {label + "<key>Program</key><string>/bin/agent</string>", "/bin/agent", {"/bin/agent"}, false},
        {label + "<key>Program</key><string>/bin/real</string>" + std::string(kArgs),
         "/bin/real",
         {"/bin/agent"},
         false},
        {label + std::string(kArgs) + "<key>KeepAlive</key><dict><key>SuccessfulExit</key><false/></dict>",
         "",
         {"/bin/agent"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const PlistResult result = parseJobPlist(plist(c.body));
        ASSERT_EQ(result.error, PlistError::None) << result.detail;
        EXPECT_EQ(result.definition.program, c.program);
        EXPECT_EQ(result.definition.arguments, c.arguments);
        EXPECT_EQ(result.definition.keepAlive, c.keepAlive);
    }
}

TEST(PlistTest, RefusesWhatLaunchdWouldRefuse) {
    const std::string label(kLabel);
    const std::string args(kArgs);
    const std::vector<std::pair<std::string, PlistError>> cases = {
        {"not xml at all", PlistError::Malformed},
        {"<dict><key>Label</key><string>x</string></dict>", PlistError::Malformed},
        {"<plist><array/></plist>", PlistError::Malformed},
        {"<plist><dict/><dict/></plist>", PlistError::Malformed},
        {plist(label + args).substr(0, 150), PlistError::Malformed},
        {plist(label + args + "<key>KeepAlive</key>"), PlistError::Malformed},
        {plist("<string>orphan</string>" + label + args), PlistError::Malformed},
        {plist(label + args + "<key>X</key><widget/>"), PlistError::Malformed},
        {plist("stray text" + label + args), PlistError::Malformed},
        {plist(label + "<key>Program</key><string>/a<string>b</string></string>"), PlistError::Malformed},
        {plist(args), PlistError::MissingLabel},
        {plist("<key>Label</key><integer>7</integer>" + args), PlistError::MissingLabel},
        {plist("<key>Label</key><string>../escape</string>" + args), PlistError::MissingLabel},
        {plist("<key>Label</key><string>.hidden</string>" + args), PlistError::MissingLabel},
        {plist(label), PlistError::MissingProgram},
        {plist(label + "<key>ProgramArguments</key><array/>"), PlistError::MissingProgram},
        {plist(label + "<key>ProgramArguments</key><array><integer>1</integer></array>"),
         PlistError::MissingProgram},
        {plist(label + "<key>ProgramArguments</key><string>/bin/agent</string>"), PlistError::MissingProgram},
    };
    for (const auto& [xml, error] : cases) {
        SCOPED_TRACE(xml);
        const PlistResult result = parseJobPlist(xml);
        EXPECT_EQ(result.error, error);
        EXPECT_FALSE(result.detail.empty());
    }
}

JobRecord sampleRecord(LastExit lastExit) {
    JobRecord record;
    record.definition = {.label = "com.example.quern.bridge",
                         .program = "/opt/quern/agent",
                         .arguments = {"agent", "two words", "line\nbreak", "100% \t tab", "", "ünï ✓"},
                         .keepAlive = true,
                         .standardOutPath = "/tmp/o%20ut",
                         .standardErrorPath = ""};
    record.plistPath = "/home/zoë/Library/LaunchAgents/com.example.quern.bridge.plist";
    record.pid = 4321;
    record.startTicks = 987654321;
    record.runs = 3;
    record.lastStartMillis = 123456789;
    record.lastExit = lastExit;
    return record;
}

TEST(JobRecordTest, RoundTripsAnyArguments) {
    for (const LastExit lastExit :
         {LastExit{}, LastExit{LastExit::Kind::Exited, 3}, LastExit{LastExit::Kind::Signaled, 9}}) {
        const JobRecord record = sampleRecord(lastExit);
        const std::optional<JobRecord> parsed = parseRecord(serializeRecord(record));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(*parsed, record);
    }
}

TEST(JobRecordTest, RefusesTruncatedOrDamagedRecords) {
    const std::string text = serializeRecord(sampleRecord({}));
    for (std::size_t length = 0; length < text.size(); ++length)
        ASSERT_FALSE(parseRecord(text.substr(0, length))) << "accepted the first " << length << " bytes";
    const auto damaged = [&](std::string_view from, std::string_view to) {
        std::string copy = text;
        return copy.replace(copy.find(from), from.size(), to);
    };
    for (const std::string& bad :
         {damaged("quern-launchd-record 1", "quern-launchd-record 9"), damaged("pid 4321", "pid -4321"),
          damaged("pid 4321", "pid 43x1"), damaged("%25", "%G5"),
          damaged("label com.example", "label ../com.example"),
          damaged("last_exit never", "last_exit sometimes")})
        EXPECT_FALSE(parseRecord(bad)) << bad;
}

} // namespace
} // namespace quern::standins
