#include "StandinHarness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <algorithm>

namespace quern::standins::testing {
namespace {

const std::string kAgent = QUERN_AGENT_PATH;

class BridgeAgentTest : public ::testing::Test {
protected:
    [[nodiscard]] std::unique_ptr<Child> start(std::vector<std::string> options) const {
        options.insert(options.begin(), kAgent);
        return std::make_unique<Child>(options, std::vector<std::string>{"HOME=" + home_.path()});
    }
    [[nodiscard]] std::string file(std::string_view name) const {
        return home_.path() + "/.quern-web-bridge/" + std::string(name);
    }
    [[nodiscard]] nlohmann::json health() const {
        return nlohmann::json::parse(readFile(file("health.json")), nullptr, false);
    }
    [[nodiscard]] double serverOkAt() const {
        const nlohmann::json parsed = health();
        return parsed.is_object() ? parsed.value("server_ok_at", -1.0) : -1.0;
    }
    [[nodiscard]] long logLines(std::string_view part) const {
        const std::string log = readFile(file("agent.log"));
        long count = 0;
        for (std::size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1))
            ++count;
        return count;
    }

    TempDir home_{"quern-agent-home-"};
};

TEST_F(BridgeAgentTest, ConnectionFollowsHangupAndUsr1) {
    const std::string hups = home_.path() + "/hups";
    const auto agent = start({"--offline", "--interval", "0.05", "--sighup-log", hups});
    ASSERT_TRUE(waitUntil([&] { return logLines("start") == 1; }, 10s));
    EXPECT_FALSE(waitUntil([&] { return serverOkAt() >= 0; }, 500ms)) << "offline agent wrote health";

    ASSERT_EQ(kill(agent->pid(), SIGHUP), 0);
    ASSERT_TRUE(waitUntil([&] { return serverOkAt() >= 0; }, 10s));
    EXPECT_EQ(health()["pid"], agent->pid());
    EXPECT_NEAR(serverOkAt(), static_cast<double>(time(nullptr)), 30.0);
    const double first = serverOkAt();
    EXPECT_TRUE(waitUntil([&] { return serverOkAt() > first; }, 10s)) << "not renewed";

    ASSERT_EQ(kill(agent->pid(), SIGUSR1), 0);
    ASSERT_TRUE(waitUntil([&] { return logLines("connection lost") == 1; }, 10s));
    const double frozen = serverOkAt();
    EXPECT_FALSE(waitUntil([&] { return serverOkAt() != frozen; }, 500ms)) << "renewed while disconnected";

    ASSERT_EQ(kill(agent->pid(), SIGHUP), 0);
    EXPECT_TRUE(waitUntil([&] { return serverOkAt() > frozen; }, 10s));
    EXPECT_TRUE(waitUntil([&] { return std::ranges::count(readFile(hups), '\n') == 2; }, 10s));
    EXPECT_EQ(logLines("reconnect (SIGHUP)"), 2);
}

TEST_F(BridgeAgentTest, StopSignalsEndItWithStatusZero) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        const long before = logLines("start");
        const auto agent = start({"--interval", "60"}); // a tick would never end the wait below
        ASSERT_TRUE(waitUntil([&] { return logLines("start") == before + 1; }, 10s));
        ASSERT_EQ(kill(agent->pid(), signal), 0);
        EXPECT_EQ(agent->waitExit(10s), 0);
        EXPECT_EQ(logLines(signal == SIGTERM ? "exit (SIGTERM)" : "exit (SIGINT)"), 1);
    }
}

TEST_F(BridgeAgentTest, ExitAfterEndsWithStatusThree) {
    const auto agent = start({"--exit-after", "0.2"});
    EXPECT_EQ(agent->waitExit(20s), 3);
}

TEST_F(BridgeAgentTest, BusyIdSurvivesJsonEscaping) {
    for (const std::string busy : {"cmd-42", "quote\" back\\slash", "tab\tnew\nline", "ünïcødé ✓"}) {
        SCOPED_TRACE(busy);
        std::remove(file("health.json").c_str());
        const auto agent = start({"--busy", busy, "--interval", "0.05"});
        ASSERT_TRUE(waitUntil([&] { return health().is_object(); }, 10s));
        EXPECT_EQ(health()["busy_command_id"], busy);
    }
}

TEST_F(BridgeAgentTest, ReadersNeverSeeAPartialHealthFile) {
    const auto agent = start({"--interval", "0.001", "--busy", std::string(3000, 'x')});
    ASSERT_TRUE(waitUntil([&] { return health().is_object(); }, 10s));
    for (int i = 0; i < 3000; ++i) {
        const nlohmann::json parsed = health(); // the file always exists from here on
        ASSERT_TRUE(parsed.is_object() && parsed["pid"] == agent->pid() && parsed["server_ok_at"].is_number())
            << "read " << i;
    }
}

} // namespace
} // namespace quern::standins::testing
