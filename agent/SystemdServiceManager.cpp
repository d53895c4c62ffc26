#include "agent/SystemdServiceManager.h"

#include "agent/SystemdUnit.h"
#include "platform/BackgroundQueue.h"
#include "platform/SessionBus.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QPointer>

#include <atomic>
#include <csignal>

namespace quern {
namespace {

using namespace std::chrono_literals;

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kUnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
// A bus that has not begun its handshake within this is taken as silent; a live one answers in
// well under a millisecond.
constexpr std::chrono::milliseconds kBusCheckBound = 2s;

QDBusMessage managerMessage(const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerInterface, method);
    message.setArguments(arguments);
    return message;
}

// Unit signals are sent only to subscribers, and a manager forgets them when it goes.
void subscribe(const QDBusConnection& connection) {
    connection.send(managerMessage(QStringLiteral("Subscribe")));
}

// Each manager object its own connection: the tests make several in one process.
QString newConnectionName() {
    static std::atomic<int> count{0};
    return QStringLiteral("quern-zova-systemd-%1").arg(++count);
}

} // namespace

SystemdServiceManager::SystemdServiceManager(std::string unit, std::string busAddress,
                                             std::chrono::milliseconds callTimeout)
    : unit_(QString::fromStdString(unit))
    , unitPath_(QString::fromStdString(systemdUnitPath(unit)))
    , busAddress_(std::move(busAddress))
    , connectionName_(newConnectionName())
    , callTimeoutMs_(static_cast<int>(callTimeout.count()))
    , bus_(connectionName_) {
    connectInBackground(); // under way before the first refresh asks
}

SystemdServiceManager::~SystemdServiceManager() {
    managerWatcher_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
}

void SystemdServiceManager::setChangeHandler(std::function<void(ServiceChange)> handler) {
    changed_ = std::move(handler);
}

QDBusConnection SystemdServiceManager::bus() const {
    const std::lock_guard lock(busMutex_);
    return bus_;
}

void SystemdServiceManager::connectInBackground() {
    if (connecting_)
        return;
    connecting_ = true;
    dispatchAsync(QualityOfService::utility, [self = QPointer<SystemdServiceManager>(this),
                                              address = busAddress_, name = connectionName_] {
        std::optional<QDBusConnection> connection;
        const BusCheck check = address.empty() ? BusCheck::unreachable : checkBus(address, kBusCheckBound);
        if (check == BusCheck::answers || check == BusCheck::unchecked) {
            QDBusConnection::disconnectFromBus(name); // what is left of a bus that went away
            QDBusConnection made = QDBusConnection::connectToBus(QString::fromStdString(address), name);
            if (made.isConnected())
                connection = made;
            else
                QDBusConnection::disconnectFromBus(name);
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, connection, name] {
                if (self)
                    self->attach(connection);
                else if (connection)
                    QDBusConnection::disconnectFromBus(name);
            },
            Qt::QueuedConnection);
    });
}

void SystemdServiceManager::attach(std::optional<QDBusConnection> connection) {
    connecting_ = false;
    if (!connection) {
        record(std::nullopt); // no bus to ask: not running, and the next refresh tries again
        return;
    }
    {
        const std::lock_guard lock(busMutex_);
        bus_ = *connection;
    }
    attached_ = true;
    managerWatcher_ = std::make_unique<QDBusServiceWatcher>(kService, *connection,
                                                            QDBusServiceWatcher::WatchForOwnerChange);
    connect(
        managerWatcher_.get(), &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString&, const QString&, const QString& newOwner) { managerOwnerChanged(newOwner); });
    // From any sender, which spares Qt a blocking look-up of the manager's name; only the unit's own
    // interface, which halves what a busy unit sends.
    connection->connect(QString(), unitPath_, QStringLiteral("org.freedesktop.DBus.Properties"),
                        QStringLiteral("PropertiesChanged"), {kUnitInterface}, QString(), this,
                        SLOT(unitPropertiesChanged(QString, QVariantMap, QStringList)));
    subscribe(*connection); // a manager not there yet is subscribed to when it appears
    managerAppearing_ = true;
    sendQuery();
}

void SystemdServiceManager::detach() {
    attached_ = false;
    managerWatcher_.reset();
    if (query_ != nullptr) {
        query_->deleteLater();
        query_ = nullptr;
    }
    record(std::nullopt);
}

void SystemdServiceManager::managerOwnerChanged(const QString& newOwner) {
    if (query_ != nullptr) {
        query_->deleteLater();
        query_ = nullptr;
    }
    if (newOwner.isEmpty()) {
        record(std::nullopt); // gone: nothing can be asked, so nothing runs
        return;
    }
    // A new manager (started late, restarted, re-executed) knows nothing of us: subscribe and ask.
    subscribe(bus());
    managerAppearing_ = true;
    sendQuery();
}

std::optional<bool> SystemdServiceManager::lastReportedRunning() {
    if (attached_ && !bus().isConnected())
        detach(); // the bus went away
    if (!attached_)
        connectInBackground();
    else if (query_ == nullptr)
        sendQuery(); // what the next refresh will know, besides the signals
    if (!status_)
        return std::nullopt;
    return status_->running();
}

void SystemdServiceManager::sendQuery() {
    query_ = new QDBusPendingCallWatcher(bus().asyncCall(unitQuery(), callTimeoutMs_), this);
    connect(query_, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* answered) { queryAnswered(answered); });
}

void SystemdServiceManager::queryAnswered(QDBusPendingCallWatcher* answered) {
    answered->deleteLater();
    if (answered != query_)
        return; // replaced by a newer question
    query_ = nullptr;
    // No answer within the bound (a stopped manager), no manager, or no unit: not running.
    const std::optional<UnitStatus> status = unitStatus(answered->reply());
    const bool appeared = managerAppearing_ && answered->reply().type() == QDBusMessage::ReplyMessage;
    if (appeared)
        managerAppearing_ = false;
    record(status, appeared ? ServiceChange::managerAppeared : ServiceChange::state);
}

void SystemdServiceManager::record(std::optional<UnitStatus> status, ServiceChange change) {
    const UnitStatus next = status.value_or(UnitStatus{});
    const bool news = !status_ || *status_ != next || change == ServiceChange::managerAppeared;
    status_ = next;
    if (news && changed_)
        changed_(change);
}

void SystemdServiceManager::unitPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                                  const QStringList& invalidated) {
    if (interface != kUnitInterface)
        return;
    if (!status_ || status_->loadState.isEmpty() || invalidated.contains(QStringLiteral("ActiveState"))) {
        // Nothing answered yet to put it beside: ask, and the answer tells.
        if (query_ == nullptr)
            sendQuery();
        return;
    }
    UnitStatus next = *status_;
    if (const auto load = changed.constFind(QStringLiteral("LoadState")); load != changed.constEnd())
        next.loadState = load->toString();
    if (const auto active = changed.constFind(QStringLiteral("ActiveState")); active != changed.constEnd())
        next.activeState = active->toString();
    // Every change is looked at at once: a killed agent is shown and started again without waiting
    // for the next tick.
    record(next);
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

bool SystemdServiceManager::UnitStatus::running() const {
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
    return status && status->running();
}

bool SystemdServiceManager::start(IfFailed ifFailed) {
    // A failed unit (its start limit hit after a crash loop, say) refuses a plain start, and one
    // started again without a pause only crashes again.
    const std::optional<UnitStatus> status = askUnit();
    const bool failed = status && status->activeState == QStringLiteral("failed");
    if (failed) {
        if (ifFailed == IfFailed::leave)
            return false;
        (void)managerCall(QStringLiteral("ResetFailedUnit"), {unit_});
    }
    (void)managerCall(QStringLiteral("StartUnit"), {unit_, QStringLiteral("replace")});
    return failed;
}

void SystemdServiceManager::stop() {
    (void)managerCall(QStringLiteral("StopUnit"), {unit_, QStringLiteral("replace")});
}

void SystemdServiceManager::wake() {
    // "main": the process systemd tracks as the service's; with none, systemd sends nothing.
    (void)managerCall(QStringLiteral("KillUnit"), {unit_, QStringLiteral("main"), static_cast<int>(SIGHUP)});
}

} // namespace quern
