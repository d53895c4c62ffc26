#pragma once

#include "app/AppDelegate.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quern::test {

// The service manager as the application sees it: a service that a bootstrap really loads and a
// stop really stops. Every call is recorded ("reported", "ask", "start", "stop", "wake")
// with whether the main thread made it.
class FakeService {
public:
    void setLoaded(bool loaded) {
        const std::lock_guard lock(mutex_);
        loaded_ = loaded;
    }
    [[nodiscard]] bool record(const std::string& call) {
        const std::lock_guard lock(mutex_);
        calls_.emplace_back(call, QThread::currentThread() == QCoreApplication::instance()->thread());
        if (call == "start")
            loaded_ = true;
        else if (call == "stop")
            loaded_ = false;
        return loaded_;
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

private:
    mutable std::mutex mutex_;
    bool loaded_ = false;
    std::vector<std::pair<std::string, bool>> calls_;
};

class FakeServiceManager final : public ServiceManager {
public:
    explicit FakeServiceManager(std::shared_ptr<FakeService> service)
        : service_(std::move(service)) {}
    std::optional<bool> lastReportedRunning() override { return service_->record("reported"); }
    bool askRunning() override { return service_->record("ask"); }
    bool start(IfFailed /*ifFailed*/) override {
        (void)service_->record("start");
        return false;
    }
    void stop() override { (void)service_->record("stop"); }
    void wake() override { (void)service_->record("wake"); }

private:
    std::shared_ptr<FakeService> service_;
};

// An application object on the fake service, in a home of its own (with a space and non-ASCII
// letters in its path), with a clock the test sets.
class AppDelegateFixture : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(configDir); }

    [[nodiscard]] AppDelegate::Hooks hooks(std::chrono::milliseconds settlePause = 50ms) const {
        AppDelegate::Hooks hooks;
        hooks.home = home;
        hooks.serviceManager = [service = service] { return std::make_unique<FakeServiceManager>(service); };
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

    void setLoaded(bool loaded) const { service->setLoaded(loaded); }
    void writeHealth(double age, const std::string& busy = "") const {
        writeFile(configDir + "/health.json", "{\"server_ok_at\": " + std::to_string(clock->load() - age) +
                                                  ", \"busy_command_id\": \"" + busy + "\"}");
    }
    [[nodiscard]] std::vector<std::string> calls() const { return service->calls(); }
    [[nodiscard]] long count(const std::string& call, bool mainThreadOnly = false) const {
        return std::ranges::count(service->calls(mainThreadOnly), call);
    }
    // A view of the window by its object name ("statusLabel", "toggleButton", …), once it is built.
    template <typename View> [[nodiscard]] static View* view(const AppDelegate& delegate, const char* name) {
        View* found = delegate.window()->findChild<View*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    // An item of the tray menu by its object name ("reconnectItem", "stateItem", …), once it is built.
    [[nodiscard]] static QAction* menuItem(const char* name) {
        QAction* found = nullptr;
        for (const QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QLatin1String("statusMenu"))
                found = widget->findChild<QAction*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    [[nodiscard]] static QString text(const AppDelegate& delegate, const char* label) {
        return view<QLabel>(delegate, label)->text();
    }
    [[nodiscard]] static bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, static_cast<int>(kHangGuard.count()));
    }
    [[nodiscard]] bool waitForCalls(size_t n) const {
        return waitFor([&] { return calls().size() >= n; });
    }

    TempDir root{"quern-app"};
    const std::string home = root / "Zoë Müller 家";
    const std::string configDir = home + "/.quern-web-bridge";
    const std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
    const std::shared_ptr<std::atomic<double>> clock = std::make_shared<std::atomic<double>>(1'800'000'000.0);
};

} // namespace quern::test
