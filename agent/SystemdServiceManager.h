#pragma once

#include "supervisor/ServiceManager.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

class QDBusServiceWatcher;

namespace quern {

// The agent as a unit of the user's own systemd, reached on the session bus. Running means the
// unit's file is loaded and the unit is active or on its way in or out; start is StartUnit (after
// ResetFailedUnit when asked to), stop is StopUnit, and the wake is KillUnit of the main process
// with SIGHUP: systemd signals the process it tracks, so a recycled pid is never hit and a unit
// without a main process gets nothing.
//
// Nothing here waits on the bus. The connection is made on a background thread, and only to a bus
// that has answered a bounded handshake first: Qt's own connect waits without limit on a bus that
// takes connections and says nothing. After that every call is asynchronous, on the main thread.
// What the manager says is kept current by its PropertiesChanged signals and by one question in
// flight per refresh.
class SystemdServiceManager final : public ServiceManager {
    Q_OBJECT

public:
    // `busAddress`: the session bus the manager is on, empty when there is none.
    SystemdServiceManager(std::string unit, std::string busAddress,
                          std::chrono::milliseconds callTimeout = kTimeout, QObject* parent = nullptr);
    ~SystemdServiceManager() override;

    void refresh() override;
    [[nodiscard]] QFuture<ServiceStatus> query() override;
    [[nodiscard]] QFuture<void> start(StartMode mode) override;
    [[nodiscard]] QFuture<void> stop() override;
    [[nodiscard]] QFuture<void> wake() override;

private slots:
    void unitPropertiesChanged(const QString& interface, const QVariantMap& changed,
                               const QStringList& invalidated);

private:
    struct UnitStatus {
        QString loadState;
        QString activeState;
        QString restart; // read only for a failed unit, where it matters
        bool operator==(const UnitStatus&) const = default;
        [[nodiscard]] ServiceStatus serviceStatus() const;
    };

    void connectInBackground();
    void attach(std::optional<QDBusConnection> connection);
    void detach();
    void managerOwnerChanged(const QString& newOwner);
    // The refresh's one question in flight; an answer to an older one is dropped.
    void sendQuery();
    // The unit's load and active state at once (ListUnitsByNames), and for a failed unit its
    // Restart=; empty when no manager answers.
    [[nodiscard]] QFuture<std::optional<UnitStatus>> askUnit();
    // The one place a new status is taken in and a change announced. Empty: nothing to ask.
    void record(std::optional<UnitStatus> status, bool managerAppeared = false);
    [[nodiscard]] QFuture<void> call(const QString& method, const QVariantList& arguments);
    [[nodiscard]] static std::optional<UnitStatus> unitStatus(const QDBusMessage& reply);

    const QString unit_;
    const QString unitPath_;
    const std::string busAddress_;
    const QString connectionName_;
    const int callTimeoutMs_;

    QDBusConnection bus_;
    bool connecting_ = false;
    bool attached_ = false;
    bool managerAppearing_ = false; // the next answer is the first of a manager new to us
    std::unique_ptr<QDBusServiceWatcher> managerWatcher_;
    bool queryInFlight_ = false;
    int queryGeneration_ = 0;
    std::optional<UnitStatus> status_; // what the manager last said; empty until the first try ends
};

} // namespace quern
