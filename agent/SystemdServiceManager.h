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

// The agent as a unit of the user's own systemd, reached on the session bus. Running means the
// unit's file is loaded and the unit is active or on its way in or out; start is StartUnit (after
// ResetFailedUnit for a failed unit, when asked to), stop is StopUnit, and the wake is KillUnit of
// the main process with SIGHUP: systemd signals the process it tracks, so a recycled pid is never
// hit and a unit without a main process gets nothing.
//
// The main thread never waits on the bus or the manager. The connection is made on a background
// thread, and only to a bus that has answered a bounded handshake first: Qt's own connect waits
// without limit on a bus that takes connections and says nothing. The refresh is answered from
// what the manager last said, kept current by its PropertiesChanged signals and by one question in
// flight per refresh. Background threads ask the manager directly, within the call bound.
class SystemdServiceManager final : public QObject, public ServiceManager {
    Q_OBJECT

public:
    // `busAddress`: the session bus the manager is on, empty when there is none.
    SystemdServiceManager(std::string unit, std::string busAddress, std::chrono::milliseconds callTimeout);
    ~SystemdServiceManager() override;

    [[nodiscard]] std::optional<bool> lastReportedRunning() override;
    [[nodiscard]] bool askRunning() override;
    bool start(IfFailed ifFailed) override;
    void stop() override;
    void wake() override;
    void setChangeHandler(std::function<void(ServiceChange)> handler) override;

private slots:
    void unitPropertiesChanged(const QString& interface, const QVariantMap& changed,
                               const QStringList& invalidated);

private:
    struct UnitStatus {
        QString loadState;
        QString activeState;
        [[nodiscard]] bool running() const;
        bool operator==(const UnitStatus&) const = default;
    };

    [[nodiscard]] QDBusConnection bus() const;
    // Main thread: one try at a time to reach the bus, made on a background thread.
    void connectInBackground();
    void attach(std::optional<QDBusConnection> connection);
    void detach();
    void managerOwnerChanged(const QString& newOwner);
    void sendQuery();
    void queryAnswered(QDBusPendingCallWatcher* answered);
    // The one place a new status is taken in and a change announced. Empty: nothing to ask.
    void record(std::optional<UnitStatus> status, ServiceChange change = ServiceChange::state);
    // Blocking, within the call bound: background threads only.
    [[nodiscard]] QDBusMessage managerCall(const QString& method, const QVariantList& arguments) const;
    [[nodiscard]] std::optional<UnitStatus> askUnit() const;
    [[nodiscard]] QDBusMessage unitQuery() const; // ListUnitsByNames: load and active state at once
    [[nodiscard]] static std::optional<UnitStatus> unitStatus(const QDBusMessage& reply);

    const QString unit_;
    const QString unitPath_;
    const std::string busAddress_;
    const QString connectionName_;
    const int callTimeoutMs_;
    std::function<void(ServiceChange)> changed_;

    mutable std::mutex busMutex_; // the connection is set on the main thread, read on any
    QDBusConnection bus_;

    // Main thread only.
    bool connecting_ = false;
    bool attached_ = false;
    bool managerAppearing_ = false; // the next answer is the first of a manager new to us
    std::unique_ptr<QDBusServiceWatcher> managerWatcher_;
    QDBusPendingCallWatcher* query_ = nullptr;
    std::optional<UnitStatus> status_; // what the manager last said; empty until the first try ends
};

} // namespace quern
