#pragma once

#include "supervisor/ServiceManager.h"

#include <QPromise>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quern::test {

// A service manager that answers as real ones do: never at once, always on a later turn of the
// event loop (or, while held, when released). The service it manages is a plain ServiceStatus that
// commands change as a manager would: a start runs it, a stop stops it, a plain start of a service
// given up on by a manager that restarts it is refused. Every call is recorded: "refresh", "query",
// "start", "reset+start", "stop", "wake".
class FakeServiceManager final : public ServiceManager {
public:
    ServiceStatus service;
    std::vector<std::string> calls;
    bool crashes = false; // a started service fails again at once

    void refresh() override {
        calls.emplace_back("refresh");
        later([this] { report(); });
    }
    QFuture<ServiceStatus> query() override {
        calls.emplace_back("query");
        auto promise = std::make_shared<QPromise<ServiceStatus>>();
        promise->start();
        later([this, promise] {
            promise->addResult(service);
            promise->finish();
        });
        return promise->future();
    }
    QFuture<void> start(StartMode mode) override {
        calls.emplace_back(mode == StartMode::resetFailed ? "reset+start" : "start");
        return command([this, mode] {
            if (service.failed && service.restartsOnItsOwn && mode == StartMode::plain)
                return; // refused inside the start limit
            service.running = !crashes;
            service.failed = crashes;
        });
    }
    QFuture<void> stop() override {
        calls.emplace_back("stop");
        return command([this] { service = ServiceStatus{}; });
    }
    QFuture<void> wake() override {
        calls.emplace_back("wake");
        return command([] {});
    }

    // What the manager reports on its own: its status, if it changed since the last report.
    void report() {
        if (reported_ && *reported_ == service)
            return;
        reported_ = service;
        emit statusChanged(service);
    }
    // A new client: the next refresh is answered whatever was reported before.
    void forget() { reported_.reset(); }
    // Answers wait until release() while held.
    void hold() { holding_ = true; }
    void release() {
        holding_ = false;
        for (auto& answer : std::exchange(held_, {}))
            later(std::move(answer));
    }
    [[nodiscard]] long count(const std::string& call) const { return std::ranges::count(calls, call); }

private:
    void later(std::function<void()> answer) {
        if (holding_)
            held_.push_back(std::move(answer));
        else
            QTimer::singleShot(0, this, std::move(answer));
    }
    QFuture<void> command(std::function<void()> effect) {
        auto promise = std::make_shared<QPromise<void>>();
        promise->start();
        later([this, promise, effect = std::move(effect)] {
            effect();
            report(); // as systemd's PropertiesChanged would
            promise->finish();
        });
        return promise->future();
    }

    bool holding_ = false;
    std::vector<std::function<void()>> held_;
    std::optional<ServiceStatus> reported_;
};

} // namespace quern::test
