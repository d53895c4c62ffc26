#pragma once

#include "app/Client.h"
#include "supervisor/FakeServiceManager.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QTest>

#include <memory>
#include <string>

namespace quern::test {

// The whole client, views and all, on the asynchronous fake manager, in a home of its own with a
// space and non-ASCII letters in its path; only the test refreshes.
class ClientFixture : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(configDir); }

    Client& make(std::chrono::milliseconds settlePause = std::chrono::milliseconds(50)) {
        auto fake = std::make_unique<FakeServiceManager>();
        manager = fake.get();
        manager->service = service;
        Supervisor::Hooks hooks;
        hooks.refreshInterval = std::chrono::hours(24);
        hooks.settlePause = settlePause;
        client = std::make_unique<Client>(home, std::move(fake), hooks);
        return *client;
    }
    // Made and launched, its window up with the first state.
    Client& launched(std::chrono::milliseconds settlePause = std::chrono::milliseconds(50)) {
        make(settlePause).launch();
        EXPECT_TRUE(waitFor([&] { return client->window().isVisible(); })) << "hung";
        return *client;
    }
    void writeHealth(double age) const {
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        writeFile(configDir + "/health.json", "{\"server_ok_at\": " + std::to_string(now - age) + "}");
    }
    template <typename View> [[nodiscard]] View* view(const char* name) const {
        View* found = client->window().findChild<View*>(QLatin1String(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    [[nodiscard]] QString text(const char* label) const { return view<QLabel>(label)->text(); }
    // An item of the tray menu by its object name, or null.
    [[nodiscard]] static QAction* menuItem(const char* name) {
        for (const QWidget* widget : QApplication::topLevelWidgets())
            if (widget->objectName() == QLatin1String("statusMenu"))
                for (QAction* action : widget->actions())
                    if (action->objectName() == QLatin1String(name))
                        return action;
        return nullptr;
    }
    [[nodiscard]] static bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, static_cast<int>(kHangGuard.count()));
    }

    TempDir root{"quern-client"};
    const std::string home = root / "Zoë Müller 家";
    const std::string configDir = home + "/.quern-web-bridge";
    ServiceStatus service; // what the fake manager starts with
    FakeServiceManager* manager = nullptr;
    std::unique_ptr<Client> client;
};

} // namespace quern::test
