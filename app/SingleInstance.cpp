#include "app/SingleInstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QThread>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace quern {
namespace {
Q_LOGGING_CATEGORY(lcInstance, "quern-zova")
}

namespace {

constexpr auto kName = "quern-zova";
constexpr int kConnectMs = 1000;

} // namespace

SingleInstance::SingleInstance(const QString& directory, QObject* parent)
    : QObject(parent)
    , socketPath_(directory + QLatin1Char('/') + QLatin1String(kName) + QStringLiteral(".socket"))
    , lock_(directory + QLatin1Char('/') + QLatin1String(kName) + QStringLiteral(".lock")) {
    // Only a dead holder makes the lock stale; a client may run for months.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close(); // removes the socket file
}

SingleInstance::Role SingleInstance::claim(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        // tryLock removes a lock whose process is gone.
        if (lock_.tryLock(0)) {
            listen();
            return Role::first;
        }
        QLocalSocket socket;
        socket.connectToServer(socketPath_);
        if (socket.waitForConnected(kConnectMs)) {
            socket.write("show\n");
            (void)socket.waitForBytesWritten(kConnectMs);
            socket.disconnectFromServer();
            return Role::handedOver;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return Role::unanswered;
        QThread::msleep(50);
    }
}

void SingleInstance::listen() {
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock: a socket file still there is a crashed client's.
    QLocalServer::removeServer(socketPath_);
    if (!server_->listen(socketPath_)) {
        qCWarning(lcInstance, "cannot listen on %s (%s); a later launch will not find us",
                  qPrintable(socketPath_), qPrintable(server_->errorString()));
        return;
    }
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* connection = server_->nextPendingConnection()) {
            // Any connection asks for the window; what it wrote is not needed.
            connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
            connection->disconnectFromServer();
            emit activationRequested();
        }
    });
}

QString sessionRuntimeDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime;
    // macOS has no runtime directory, but its temporary directory is already per user.
    const QString own = QDir::tempPath() + QStringLiteral("/quern-zova-") + QString::number(::getuid());
    const QByteArray path = QFile::encodeName(own);
    (void)::mkdir(path.constData(), 0700);
    struct stat status {};
    // Ours only if we made it: a real directory, owned by us, open to nobody else.
    if (::lstat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::getuid() ||
        (status.st_mode & 077) != 0)
        return {};
    return own;
}

} // namespace quern
