// The real client against the real stand-ins, in a home directory of its own.
#include "app/AgentLocations.h"
#include "status/HealthFile.h"
#include "status/StatusDerivation.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace quern {
namespace {

using namespace std::chrono_literals;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(home.c_str(), 0700);
        ::mkdir((home + "/Library").c_str(), 0700);
        ::mkdir((home + "/Library/LaunchAgents").c_str(), 0700);
        ::mkdir(launchd.c_str(), 0700);
        ::mkdir(runtime.c_str(), 0700);
        environment = {"HOME=" + home,
                       "QUERN_LAUNCHD_DIR=" + launchd,
                       "QUERN_ZOVA_LAUNCHCTL=" QUERN_LAUNCHCTL_PATH,
                       "QT_QPA_PLATFORM=offscreen",
                       "XDG_RUNTIME_DIR=" + runtime,
                       "QUERN_LAUNCHD_THROTTLE=1"};
    }
    void TearDown() override {
        (void)test::runWithEnvironment(QUERN_LAUNCHCTL_PATH,
                                       {"bootout", serviceTarget(::getuid(), kServiceLabel)}, environment);
    }

    void writePlist(const std::vector<std::string>& agentArguments) const {
        std::string plist = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Label</key>
	<string>)" + std::string(kServiceLabel) +
                            R"(</string>
	<key>ProgramArguments</key>
	<array>
		<string>)" QUERN_AGENT_PATH R"(</string>
)";
        for (const std::string& argument : agentArguments)
            plist += "\t\t<string>" + argument + "</string>\n";
        plist += R"(	</array>
	<key>KeepAlive</key>
	<true/>
</dict>
</plist>
)";
        test::writeFile(home + "/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist", plist);
    }

    [[nodiscard]] test::RunResult print() const {
        return test::runWithEnvironment(QUERN_LAUNCHCTL_PATH,
                                        {"print", serviceTarget(::getuid(), kServiceLabel)}, environment);
    }
    [[nodiscard]] bool healthFresh() const {
        return isFresh(serverOkTime(readHealthFile(home + "/.quern-web-bridge/health.json")),
                       test::wallClock());
    }

    test::TempDir root{"quern-e2e"};
    const std::string home = root / "Zoë Müller 家";
    const std::string launchd = root / "launchd";
    const std::string runtime = root / "runtime";
    std::vector<std::string> environment;
};

TEST_F(EndToEnd, TheClientLoadsAStoppedAgentAndItComesOnline) {
    writePlist({"--interval", "1"});
    ASSERT_EQ(print().status, 113);
    test::ChildProcess client(QUERN_CLIENT_PATH, {}, environment);
    ASSERT_GT(client.pid(), 0);
    EXPECT_TRUE(test::waitUntil([&] { return print().status == 0; }, 10s));
    EXPECT_TRUE(test::waitUntil([&] { return healthFresh(); }, 10s));
    EXPECT_TRUE(client.running());
}

} // namespace
} // namespace quern
