#pragma once

#include "app/AppDelegate.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quern::test {

// launchctl and kill as the application sees them, through its launcher hook: every call is
// recorded ("launchctl|print|gui/…", "kill|-HUP|42") and answered from a table the test sets.
class FakeTools {
public:
    struct Answer {
        int status = 0;
        std::string output;
    };
    void set(const std::string& command, Answer answer) {
        const std::lock_guard lock(mutex_);
        answers_[command] = std::move(answer);
    }
    [[nodiscard]] std::vector<std::string> calls(bool mainThreadOnly = false) const {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& [call, onMain] : calls_)
            if (onMain || !mainThreadOnly)
                out.push_back(call);
        return out;
    }
    void clear() {
        const std::lock_guard lock(mutex_);
        calls_.clear();
    }
    [[nodiscard]] SpawnResult answer(const SpawnRequest& request) {
        const bool kill = request.path.ends_with("kill");
        std::string call = kill ? "kill" : "launchctl";
        for (const std::string& argument : request.arguments)
            call += "|" + argument;
        const std::string command = kill ? "kill" : request.arguments.empty() ? "" : request.arguments[0];
        const std::lock_guard lock(mutex_);
        calls_.emplace_back(call, QThread::currentThread() == QCoreApplication::instance()->thread());
        const auto found = answers_.find(command);
        const Answer answer =
            found != answers_.end() ? found->second : Answer{command == "print" ? 113 : 0, {}};
        SpawnResult result{
            .started = true, .timedOut = false, .status = answer.status, .output = {}, .errors = {}};
        if (request.standardOutput == OutputMode::Capture)
            result.output = answer.output;
        return result;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::vector<std::pair<std::string, bool>> calls_;
};

// An application object on the fake tools, in a home of its own (with a space and non-ASCII
// letters in its path), with a clock the test sets.
class AppDelegateFixture : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(configDir); }

    [[nodiscard]] AppDelegate::Hooks hooks(std::chrono::milliseconds settlePause = 50ms) const {
        AppDelegate::Hooks hooks;
        hooks.home = home;
        hooks.launchctlPath = "/fake/launchctl";
        hooks.killPath = "/fake/kill";
        hooks.launcher = [tools = tools](const SpawnRequest& request) { return tools->answer(request); };
        hooks.clock = [clock = clock] { return clock->load(); };
        hooks.settlePause = settlePause;
        return hooks;
    }
    [[nodiscard]] std::shared_ptr<AppDelegate> make(std::chrono::milliseconds settlePause = 50ms) const {
        return AppDelegate::create(hooks(settlePause));
    }
    // As launched, but without the timer: only the test causes refreshes.
    [[nodiscard]] std::shared_ptr<AppDelegate> built(std::chrono::milliseconds settlePause = 50ms) const {
        auto delegate = make(settlePause);
        delegate->buildWindow();
        delegate->buildStatusItem();
        return delegate;
    }

    void setLoaded(bool loaded, const std::string& pidLine = "\tpid = 4242\n") const {
        tools->set("print",
                   {loaded ? 0 : 113, loaded ? "gui/501/x = {\n\tstate = running\n" + pidLine + "}\n" : ""});
    }
    void writeHealth(double age, const std::string& busy = "") const {
        writeFile(configDir + "/health.json", "{\"server_ok_at\": " + std::to_string(clock->load() - age) +
                                                  ", \"busy_command_id\": \"" + busy + "\"}");
    }
    [[nodiscard]] std::vector<std::string> calls() const { return tools->calls(); }
    [[nodiscard]] long count(const std::string& call, bool mainThreadOnly = false) const {
        return std::ranges::count(tools->calls(mainThreadOnly), call);
    }
    [[nodiscard]] static bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, static_cast<int>(kHangGuard.count()));
    }
    [[nodiscard]] bool waitForCalls(size_t n) const {
        return waitFor([&] { return calls().size() >= n; });
    }
    [[nodiscard]] static std::string printCall() {
        return "launchctl|print|" + serviceTarget(::getuid(), kServiceLabel);
    }
    [[nodiscard]] std::string bootstrapCall() const {
        return "launchctl|bootstrap|" + domainTarget(::getuid()) + "|" + home + "/Library/LaunchAgents/" +
               std::string(kServiceLabel) + ".plist";
    }
    [[nodiscard]] static std::string bootoutCall() {
        return "launchctl|bootout|" + serviceTarget(::getuid(), kServiceLabel);
    }

    TempDir root{"quern-app"};
    const std::string home = root / "Zoë Müller 家";
    const std::string configDir = home + "/.quern-web-bridge";
    const std::shared_ptr<FakeTools> tools = std::make_shared<FakeTools>();
    const std::shared_ptr<std::atomic<double>> clock = std::make_shared<std::atomic<double>>(1'800'000'000.0);
};

} // namespace quern::test
