#include "agent/SystemdServiceManager.h"

#include "agent/SystemdUnit.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

#include <csignal>
#include <cstdlib>

namespace quern {
namespace {

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kUnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
// Used only when the session bus was not there at start-up and came later.
const QString kLateConnectionName = QStringLiteral("quern-zova-session-bus");

QDBusMessage managerMessage(const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerInterface, method);
    message.setArguments(arguments);
    return message;
}

// Unit signals are sent only to subscribers, and a manager forgets them when it goes.
void subscribe(const QDBusConnection& connection) {
    connection.send(managerMessage(QStringLiteral("Subscribe")));
}

} // namespace

SystemdServiceManager::SystemdServiceManager(std::string unit, std::chrono::milliseconds callTimeout)
    : unit_(QString::fromStdString(unit))
    , unitPath_(QString::fromStdString(systemdUnitPath(unit)))
    , callTimeoutMs_(static_cast<int>(callTimeout.count()))
    , bus_(QDBusConnection::sessionBus()) {
    if (bus_.isConnected())
        watch(bus_);
}

SystemdServiceManager::~SystemdServiceManager() = default;

void SystemdServiceManager::setChangeHandler(std::function<void()> handler) {
    changed_ = std::move(handler);
}

QDBusConnection SystemdServiceManager::bus() const {
    const std::lock_guard lock(busMutex_);
    return bus_;
}

bool SystemdServiceManager::attach() {
    if (bus().isConnected())
        return true;
    // No bus at start-up (or it went away): look again, the standard way, at every refresh. A
    // missing socket fails at once.
    const std::string address =
        sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"));
    if (address.empty())
        return false;
    QDBusConnection::disconnectFromBus(kLateConnectionName);
    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(address), kLateConnectionName);
    if (!connection.isConnected())
        return false;
    {
        const std::lock_guard lock(busMutex_);
        bus_ = connection;
    }
    watch(connection);
    return true;
}

void SystemdServiceManager::watch(QDBusConnection connection) {
    known_.reset();
    managerWatcher_ =
        std::make_unique<QDBusServiceWatcher>(kService, connection, QDBusServiceWatcher::WatchForOwnerChange);
    connect(
        managerWatcher_.get(), &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString&, const QString&, const QString& newOwner) { managerOwnerChanged(newOwner); });
    connection.connect(kService, unitPath_, QStringLiteral("org.freedesktop.DBus.Properties"),
                       QStringLiteral("PropertiesChanged"), this,
                       SLOT(unitPropertiesChanged(QString, QVariantMap, QStringList)));
    subscribe(connection); // a manager not there yet is subscribed to when it appears
}

void SystemdServiceManager::managerOwnerChanged(const QString& newOwner) {
    if (newOwner.isEmpty()) {
        learn(std::nullopt); // gone: nothing can be asked, so nothing is loaded
        return;
    }
    // A new manager (started late, or restarted) knows nothing of us: subscribe and ask afresh.
    subscribe(bus());
    if (probe_ != nullptr) {
        probe_->deleteLater();
        probe_ = nullptr;
    }
    sendProbe();
}

bool SystemdServiceManager::lastReportedRunning() {
    if (!attach())
        return false;
    if (probe_ == nullptr)
        sendProbe(); // what the next refresh will know, besides the signals
    if (!known_) {
        // The first question since the manager was found: its answer is this refresh's.
        QDBusPendingCallWatcher* first = probe_;
        first->waitForFinished();
        probeAnswered(first);
    }
    return known_.value_or(false);
}

void SystemdServiceManager::sendProbe() {
    probe_ = new QDBusPendingCallWatcher(bus().asyncCall(unitQuery(), callTimeoutMs_), this);
    connect(probe_, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* answered) { probeAnswered(answered); });
}

void SystemdServiceManager::probeAnswered(QDBusPendingCallWatcher* answered) {
    if (answered != probe_)
        return; // replaced, or already taken when it was waited for
    probe_ = nullptr;
    answered->deleteLater();
    // No answer within the bound (a stopped manager), no manager, or no unit: not loaded.
    learn(unitStatus(answered->reply()));
}

void SystemdServiceManager::learn(std::optional<UnitStatus> status) {
    status_ = status.value_or(UnitStatus{});
    const bool loadedNow = status_.countsAsLoaded();
    const bool firstAnswer = !known_.has_value();
    if (known_ == loadedNow)
        return;
    known_ = loadedNow;
    if (!firstAnswer && changed_)
        changed_();
}

void SystemdServiceManager::unitPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                                  const QStringList& invalidated) {
    if (interface != kUnitInterface)
        return;
    const auto load = changed.constFind(QStringLiteral("LoadState"));
    if (load != changed.constEnd())
        status_.loadState = load->toString();
    const auto active = changed.constFind(QStringLiteral("ActiveState"));
    if (active != changed.constEnd() && active->toString() != status_.activeState) {
        status_.activeState = active->toString();
        if (!known_.has_value() || status_.loadState.isEmpty()) {
            // Nothing answered yet to put it beside: ask, and the answer tells.
            if (probe_ == nullptr)
                sendProbe();
            return;
        }
        known_ = status_.countsAsLoaded();
        // Every change of ActiveState is looked at at once: a killed agent is shown and started again
        // without waiting for the next tick.
        if (changed_)
            changed_();
    } else if (invalidated.contains(QStringLiteral("ActiveState")) && probe_ == nullptr) {
        sendProbe();
    }
}

QDBusMessage SystemdServiceManager::managerCall(const QString& method, const QVariantList& arguments) const {
    return bus().call(managerMessage(method, arguments), QDBus::Block, callTimeoutMs_);
}

QDBusMessage SystemdServiceManager::unitQuery() const {
    return managerMessage(QStringLiteral("ListUnitsByNames"), {QStringList{unit_}});
}

std::optional<SystemdServiceManager::UnitStatus> SystemdServiceManager::askUnit() const {
    return unitStatus(bus().call(unitQuery(), QDBus::Block, callTimeoutMs_));
}

bool SystemdServiceManager::UnitStatus::countsAsLoaded() const {
    return unitCountsAsLoaded(loadState.toStdString(), activeState.toStdString());
}

std::optional<SystemdServiceManager::UnitStatus>
SystemdServiceManager::unitStatus(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    // a(ssssssouso): name, description, load state, active state, sub state, following, unit path,
    // job id, job type, job path.
    const auto units = reply.arguments().constFirst().value<QDBusArgument>();
    std::optional<UnitStatus> status;
    units.beginArray();
    while (!units.atEnd()) {
        QString name, description, loadState, activeState, subState, following, jobType;
        QDBusObjectPath unitPath, jobPath;
        uint jobId = 0;
        units.beginStructure();
        units >> name >> description >> loadState >> activeState >> subState >> following >> unitPath >>
            jobId >> jobType >> jobPath;
        units.endStructure();
        if (!status)
            status = UnitStatus{loadState, activeState};
    }
    units.endArray();
    return status;
}

bool SystemdServiceManager::askRunning() {
    const std::optional<UnitStatus> status = askUnit();
    return status && status->countsAsLoaded();
}

void SystemdServiceManager::start() {
    // A unit that failed (its start limit hit after a crash loop, say) refuses a plain start.
    const std::optional<UnitStatus> status = askUnit();
    if (status && status->activeState == QStringLiteral("failed"))
        (void)managerCall(QStringLiteral("ResetFailedUnit"), {unit_});
    (void)managerCall(QStringLiteral("StartUnit"), {unit_, QStringLiteral("replace")});
}

void SystemdServiceManager::stop() {
    (void)managerCall(QStringLiteral("StopUnit"), {unit_, QStringLiteral("replace")});
}

void SystemdServiceManager::wake() {
    // "main": the process systemd tracks as the service's; with none, systemd sends nothing.
    (void)managerCall(QStringLiteral("KillUnit"), {unit_, QStringLiteral("main"), static_cast<int>(SIGHUP)});
}

} // namespace quern
