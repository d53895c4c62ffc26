#pragma once

#include "agent/ServiceManager.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

namespace quern {

// The agent as a unit of the user's own systemd, reached on the session bus. Loaded means the unit's
// file is loaded and the unit is active or on its way in or out; start is StartUnit (after
// ResetFailedUnit for a failed unit, so that a unit stopped by its start limit comes back), stop
// is StopUnit, and the wake is KillUnit of the main process with SIGHUP: systemd signals the process
// it tracks, so a recycled pid is never hit and a unit without a main process gets nothing.
//
// The main thread never waits on a manager that does not answer: the refresh is answered from what
// the manager last said, kept current by its PropertiesChanged signals and by one question in flight
// per refresh; only the very first question after the manager appears is waited for, within the
// call bound. Background threads ask it directly, within the same bound.
class SystemdServiceManager final : public QObject, public ServiceManager {
    Q_OBJECT

public:
    SystemdServiceManager(std::string unit, std::chrono::milliseconds callTimeout);
    ~SystemdServiceManager() override;

    [[nodiscard]] bool lastReportedRunning() override;
    [[nodiscard]] bool askRunning() override;
    void start() override;
    void stop() override;
    void wake() override;
    void setChangeHandler(std::function<void()> handler) override;

private slots:
    void unitPropertiesChanged(const QString& interface, const QVariantMap& changed,
                               const QStringList& invalidated);

private:
    struct UnitStatus {
        QString loadState;
        QString activeState;
        [[nodiscard]] bool countsAsLoaded() const;
    };

    [[nodiscard]] QDBusConnection bus() const;
    // Main thread: a connection to the session bus, watched; false when there is no bus (yet).
    [[nodiscard]] bool attach();
    void watch(QDBusConnection connection);
    void managerOwnerChanged(const QString& newOwner);
    void sendProbe();
    void probeAnswered(QDBusPendingCallWatcher* answered);
    void learn(std::optional<UnitStatus> status);
    // Blocking, within the call bound: background threads only.
    [[nodiscard]] QDBusMessage managerCall(const QString& method, const QVariantList& arguments) const;
    // ListUnitsByNames of the unit: its load and active state in one round trip.
    [[nodiscard]] QDBusMessage unitQuery() const;
    [[nodiscard]] std::optional<UnitStatus> askUnit() const; // blocking, as managerCall
    [[nodiscard]] static std::optional<UnitStatus> unitStatus(const QDBusMessage& reply);

    const QString unit_;
    const QString unitPath_;
    const int callTimeoutMs_;
    std::function<void()> changed_;

    mutable std::mutex busMutex_; // the connection is replaced on the main thread, read on any
    QDBusConnection bus_;

    // Main thread only: what the manager last said, and the question in flight.
    std::unique_ptr<QDBusServiceWatcher> managerWatcher_;
    QDBusPendingCallWatcher* probe_ = nullptr;
    UnitStatus status_;
    std::optional<bool> known_; // loaded or not; empty until the manager has answered once
};

} // namespace quern
