#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <tuple>

namespace quern::test {
namespace {

using namespace std::chrono_literals;

class BridgeAgentTest : public ::testing::Test {
protected:
    [[nodiscard]] nlohmann::json health() const { // {} while missing or unreadable
        const nlohmann::json parsed = nlohmann::json::parse(readFile(dir + "/health.json"), nullptr, false);
        return parsed.is_object() ? parsed : nlohmann::json::object();
    }
    [[nodiscard]] double serverOkAt() const { return health().value("server_ok_at", -1.0); }
    [[nodiscard]] long logged(const std::string& part) const {
        return std::ranges::count_if(readLines(dir + "/agent.log"), [&](const std::string& line) {
            return line.find(part) != std::string::npos;
        });
    }

    TempDir home{"quern-agent-home"};
    const std::string dir = home / ".quern-web-bridge";
    const std::vector<std::string> environment{"HOME=" + home.path().string()};
};

// Offline until a hang-up; a dropped connection (SIGUSR1) comes back with the next hang-up.
TEST_F(BridgeAgentTest, ConnectionFollowsHangupAndUsr1) {
    ChildProcess agent = startProgram(QUERN_AGENT_PATH, {"--offline", "--interval", "0.05"}, environment);
    ASSERT_TRUE(waitUntil([&] { return logged("start") == 1; })) << "hung";
    ASSERT_EQ(::kill(agent.pid(), SIGHUP), 0);
    ASSERT_TRUE(waitUntil([&] { return serverOkAt() >= 0; })) << "hung";
    EXPECT_NEAR(serverOkAt(), wallClock(), 10.0);
    const double first = serverOkAt();
    EXPECT_TRUE(waitUntil([&] { return serverOkAt() > first; })) << "hung: not renewed";

    ASSERT_EQ(::kill(agent.pid(), SIGUSR1), 0);
    ASSERT_TRUE(waitUntil([&] { return logged("connection lost") == 1; })) << "hung";
    ASSERT_EQ(::kill(agent.pid(), SIGHUP), 0);
    EXPECT_TRUE(waitUntil([&] { return logged("reconnect (SIGHUP) #2") == 1; })) << "hung";
}

TEST_F(BridgeAgentTest, EndsWithStatusZeroOnStopSignalsAndThreeOnExitAfter) {
    for (const auto& [options, signal, status, logLine] :
         std::vector<std::tuple<std::vector<std::string>, int, int, std::string>>{
             {{"--interval", "60"}, SIGTERM, 0, "exit (SIGTERM)"}, // no tick ends the wait early
             {{"--interval", "60"}, SIGINT, 0, "exit (SIGINT)"},
             {{"--exit-after", "0.2"}, 0, 3, "exit with status 3 (--exit-after)"}}) {
        const long started = logged("start");
        ChildProcess agent = startProgram(QUERN_AGENT_PATH, options, environment);
        ASSERT_TRUE(waitUntil([&] { return logged("start") == started + 1; })) << logLine;
        ASSERT_TRUE(signal == 0 || ::kill(agent.pid(), signal) == 0);
        const SpawnResult ended = agent.wait();
        ASSERT_FALSE(ended.timedOut) << "hung: " << logLine;
        EXPECT_EQ(ended.status, status) << logLine;
        EXPECT_EQ(logged(logLine), 1) << logLine;
    }
}

} // namespace
} // namespace quern::test
