#pragma once

#include "app/AppDelegate.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTest>

#include <atomic>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quern::test {

// An application object wired to a recording fake launchctl and kill in a home directory of
// its own (with a space and non-ASCII letters in its path) and a clock the test sets.
class AppDelegateFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(home.c_str(), 0700);
        ::mkdir(tools.c_str(), 0700);
        ::mkdir(configDir.c_str(), 0700);
        ASSERT_EQ(::symlink(QUERN_FAKE_LAUNCHCTL, (tools + "/launchctl").c_str()), 0);
        ASSERT_EQ(::symlink(QUERN_FAKE_LAUNCHCTL, (tools + "/kill").c_str()), 0);
    }

    [[nodiscard]] AppDelegate::Hooks
    hooks(std::chrono::milliseconds settlePause = std::chrono::milliseconds(50)) const {
        AppDelegate::Hooks hooks;
        hooks.home = home;
        hooks.launchctlPath = tools + "/launchctl";
        hooks.killPath = tools + "/kill";
        hooks.clock = [clock = clock] { return clock->load(); };
        hooks.settlePause = settlePause;
        return hooks;
    }
    [[nodiscard]] std::shared_ptr<AppDelegate>
    make(std::chrono::milliseconds settlePause = std::chrono::milliseconds(50)) const {
        return AppDelegate::create(hooks(settlePause));
    }

    // Behaviour of the fake for one command: exit status and standard output.
    void setTool(const std::string& command, int status, const std::string& output = {}) const {
        writeFile(tools + "/" + command + ".status", std::to_string(status));
        writeFile(tools + "/" + command + ".output", output);
    }
    void setLoaded(bool loaded, const std::string& pidLine = "\tpid = 4242\n") const {
        setTool("print", loaded ? 0 : 113,
                loaded ? "gui/501/x = {\n\tstate = running\n" + pidLine + "}\n" : "");
    }
    void writeHealth(double serverOkAt, const std::string& busy = "") const {
        writeFile(configDir + "/health.json", "{\"server_ok_at\": " + std::to_string(serverOkAt) +
                                                  ", \"busy_command_id\": \"" + busy + "\"}");
    }
    [[nodiscard]] std::vector<std::string> calls() const { return readLines(tools + "/calls.log"); }
    void clearCalls() const { ::unlink((tools + "/calls.log").c_str()); }
    [[nodiscard]] bool waitForCalls(size_t count, int ms = 5000) const {
        return QTest::qWaitFor([&] { return calls().size() >= count; }, ms);
    }
    [[nodiscard]] std::string printCall() const {
        return "launchctl|print|" + serviceTarget(::getuid(), kServiceLabel);
    }
    [[nodiscard]] std::string bootstrapCall() const {
        return "launchctl|bootstrap|" + domainTarget(::getuid()) + "|" + home + "/Library/LaunchAgents/" +
               std::string(kServiceLabel) + ".plist";
    }
    [[nodiscard]] std::string bootoutCall() const {
        return "launchctl|bootout|" + serviceTarget(::getuid(), kServiceLabel);
    }

    TempDir root{"quern-app"};
    const std::string home = root / "Zoë Müller 家";
    const std::string configDir = home + "/.quern-web-bridge";
    const std::string tools = root / "tools";
    std::shared_ptr<std::atomic<double>> clock = std::make_shared<std::atomic<double>>(1'800'000'000.0);
};

} // namespace quern::test
