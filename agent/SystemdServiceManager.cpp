#include "agent/SystemdServiceManager.h"

#include "agent/SystemdUnit.h"
#include "platform/BackgroundQueue.h"
#include "platform/SessionBus.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFuture>
#include <QFutureWatcher>
#include <QPointer>
#include <QPromise>

#include <atomic>
#include <csignal>

namespace quern {
namespace {

using namespace std::chrono_literals;

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kUnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString kServiceInterface = QStringLiteral("org.freedesktop.systemd1.Service");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kFailed = QStringLiteral("failed");
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

// Calls `answered` with the reply when it comes (or the call's bound has passed), on `context`'s
// thread; not at all once `context` is gone.
template <typename Answered>
void whenAnswered(const QDBusPendingCall& call, QObject* context, Answered answered) {
    auto* watcher = new QDBusPendingCallWatcher(call, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, answered = std::move(answered)]() mutable {
                         watcher->deleteLater();
                         answered(watcher->reply());
                     });
}

} // namespace

SystemdServiceManager::SystemdServiceManager(std::string unit, std::string busAddress,
                                             std::chrono::milliseconds callTimeout, QObject* parent)
    : ServiceManager(parent)
    , unit_(QString::fromStdString(unit))
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

void SystemdServiceManager::connectInBackground() {
    if (connecting_)
        return;
    connecting_ = true;
    const QString name = connectionName_;
    const QFuture<std::optional<QDBusConnection>> made = runInBackground(
        QualityOfService::utility, [address = busAddress_, name]() -> std::optional<QDBusConnection> {
            const BusCheck check =
                address.empty() ? BusCheck::unreachable : checkBus(address, kBusCheckBound);
            if (check != BusCheck::answers && check != BusCheck::unchecked)
                return std::nullopt;
            QDBusConnection::disconnectFromBus(name); // what is left of a bus that went away
            QDBusConnection made = QDBusConnection::connectToBus(QString::fromStdString(address), name);
            if (made.isConnected())
                return made;
            QDBusConnection::disconnectFromBus(name);
            return std::nullopt;
        });
    // Watched from outside this object: one gone before the connection was made still lets go of it.
    auto* watcher = new QFutureWatcher<std::optional<QDBusConnection>>();
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                     [watcher, self = QPointer<SystemdServiceManager>(this), name] {
                         watcher->deleteLater();
                         const auto future = watcher->future();
                         const std::optional<QDBusConnection> connection =
                             future.resultCount() > 0 ? future.result() : std::nullopt;
                         if (self)
                             self->attach(connection);
                         else if (connection)
                             QDBusConnection::disconnectFromBus(name);
                     });
    watcher->setFuture(made);
}

void SystemdServiceManager::attach(std::optional<QDBusConnection> connection) {
    connecting_ = false;
    if (!connection) {
        record(std::nullopt); // no bus to ask: not running, and the next refresh tries again
        return;
    }
    bus_ = *connection;
    attached_ = true;
    managerWatcher_ =
        std::make_unique<QDBusServiceWatcher>(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange);
    connect(
        managerWatcher_.get(), &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString&, const QString&, const QString& newOwner) { managerOwnerChanged(newOwner); });
    // From any sender, which spares Qt a blocking look-up of the manager's name; only the unit's own
    // interface, which halves what a busy unit sends.
    bus_.connect(QString(), unitPath_, kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                 {kUnitInterface}, QString(), this,
                 SLOT(unitPropertiesChanged(QString, QVariantMap, QStringList)));
    subscribe(bus_); // a manager not there yet is subscribed to when it appears
    managerAppearing_ = true;
    sendQuery();
}

void SystemdServiceManager::detach() {
    attached_ = false;
    managerWatcher_.reset();
    ++queryGeneration_;
    queryInFlight_ = false;
    record(std::nullopt);
}

void SystemdServiceManager::managerOwnerChanged(const QString& newOwner) {
    ++queryGeneration_; // what the old manager says no longer counts
    queryInFlight_ = false;
    if (newOwner.isEmpty()) {
        record(std::nullopt); // gone: nothing can be asked, so nothing runs
        return;
    }
    // A new manager (started late, restarted, re-executed) knows nothing of us: subscribe and ask.
    subscribe(bus_);
    managerAppearing_ = true;
    sendQuery();
}

void SystemdServiceManager::refresh() {
    if (attached_ && !bus_.isConnected())
        detach(); // the bus went away
    if (!attached_)
        connectInBackground();
    else if (!queryInFlight_)
        sendQuery();
}

void SystemdServiceManager::sendQuery() {
    queryInFlight_ = true;
    const int generation = ++queryGeneration_;
    whenFinished(askUnit(), this, [this, generation](const QFuture<std::optional<UnitStatus>>& asked) {
        const std::optional<UnitStatus> status = asked.resultCount() > 0 ? asked.result() : std::nullopt;
        if (generation != queryGeneration_)
            return; // replaced by a newer question
        queryInFlight_ = false;
        // Only an answer shows that a new manager is there.
        const bool appeared = managerAppearing_ && status.has_value();
        if (appeared)
            managerAppearing_ = false;
        record(status, appeared);
    });
}

QFuture<std::optional<SystemdServiceManager::UnitStatus>> SystemdServiceManager::askUnit() {
    if (!attached_)
        return QtFuture::makeReadyFuture(std::optional<UnitStatus>());
    auto promise = std::make_shared<QPromise<std::optional<UnitStatus>>>();
    promise->start();
    const QDBusMessage list = managerMessage(QStringLiteral("ListUnitsByNames"), {QStringList{unit_}});
    whenAnswered(bus_.asyncCall(list, callTimeoutMs_), this, [this, promise](const QDBusMessage& reply) {
        std::optional<UnitStatus> status = unitStatus(reply);
        if (!status || status->activeState != kFailed) {
            promise->addResult(std::move(status));
            promise->finish();
            return;
        }
        // Failed: whether its manager had been restarting it decides how it is repaired.
        QDBusMessage get =
            QDBusMessage::createMethodCall(kService, unitPath_, kPropertiesInterface, QStringLiteral("Get"));
        get.setArguments({kServiceInterface, QStringLiteral("Restart")});
        whenAnswered(bus_.asyncCall(get, callTimeoutMs_), this,
                     [promise, status = std::move(status)](const QDBusMessage& restart) mutable {
                         if (restart.type() == QDBusMessage::ReplyMessage && !restart.arguments().isEmpty())
                             status->restart =
                                 restart.arguments().constFirst().value<QDBusVariant>().variant().toString();
                         promise->addResult(std::move(status));
                         promise->finish();
                     });
    });
    return promise->future();
}

void SystemdServiceManager::record(std::optional<UnitStatus> status, bool managerAppeared) {
    const UnitStatus next = status.value_or(UnitStatus{});
    const bool news = !status_ || *status_ != next;
    status_ = next;
    if (managerAppeared)
        emit this->managerAppeared();
    if (news || managerAppeared)
        emit statusChanged(next.serviceStatus());
}

void SystemdServiceManager::unitPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                                  const QStringList& invalidated) {
    if (interface != kUnitInterface)
        return;
    const auto active = changed.constFind(QStringLiteral("ActiveState"));
    const bool nowFailed = active != changed.constEnd() && active->toString() == kFailed;
    // Nothing answered yet to put it beside, or a failure whose Restart= is to be read: ask, and the
    // answer tells.
    if (!status_ || status_->loadState.isEmpty() || nowFailed ||
        invalidated.contains(QStringLiteral("ActiveState"))) {
        if (!queryInFlight_)
            sendQuery();
        return;
    }
    UnitStatus next = *status_;
    if (const auto load = changed.constFind(QStringLiteral("LoadState")); load != changed.constEnd())
        next.loadState = load->toString();
    if (active != changed.constEnd()) {
        next.activeState = active->toString();
        next.restart.clear();
    }
    // Every change is looked at at once: a killed agent is shown and started again without waiting
    // for the next tick.
    record(next);
}

ServiceStatus SystemdServiceManager::UnitStatus::serviceStatus() const {
    return serviceStatusOf(loadState.toStdString(), activeState.toStdString(), restart.toStdString());
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
            status = UnitStatus{loadState, activeState, QString()};
    }
    units.endArray();
    return status;
}

QFuture<ServiceStatus> SystemdServiceManager::query() {
    auto promise = std::make_shared<QPromise<ServiceStatus>>();
    promise->start();
    whenFinished(askUnit(), this, [promise](const QFuture<std::optional<UnitStatus>>& asked) {
        const std::optional<UnitStatus> status = asked.resultCount() > 0 ? asked.result() : std::nullopt;
        promise->addResult(status.value_or(UnitStatus{}).serviceStatus());
        promise->finish();
    });
    return promise->future();
}

QFuture<void> SystemdServiceManager::call(const QString& method, const QVariantList& arguments) {
    if (!attached_)
        return QtFuture::makeReadyFuture(); // no manager to ask: the next refresh shows it
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    whenAnswered(bus_.asyncCall(managerMessage(method, arguments), callTimeoutMs_), this,
                 [promise](const QDBusMessage&) { promise->finish(); });
    return promise->future();
}

QFuture<void> SystemdServiceManager::start(StartMode mode) {
    // One connection's calls are handled in the order sent: the reset comes before the start. A
    // reset of a unit that has not failed only clears its start limit, as a user's start should.
    if (mode == StartMode::resetFailed)
        (void)call(QStringLiteral("ResetFailedUnit"), {unit_});
    return call(QStringLiteral("StartUnit"), {unit_, QStringLiteral("replace")});
}

QFuture<void> SystemdServiceManager::stop() {
    return call(QStringLiteral("StopUnit"), {unit_, QStringLiteral("replace")});
}

QFuture<void> SystemdServiceManager::wake() {
    // "main": the process systemd tracks as the service's; with none, systemd sends nothing.
    return call(QStringLiteral("KillUnit"), {unit_, QStringLiteral("main"), static_cast<int>(SIGHUP)});
}

} // namespace quern
