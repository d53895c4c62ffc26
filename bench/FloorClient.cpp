// quern-bench-floor [--exit-at-start | --listen SOCKET] UNIT: the least program that does the client's
// visible job on Linux: a 460 × 420 window, a tray icon, a subscription to the user's systemd and every
// 2 s the question the client's idle refresh sends (an async ListUnitsByNames of the unit, its answer
// dropped). --exit-at-start ends it on its first loop pass, for hyperfine. --listen adds what the storm
// asks of the client: a local server closing each connection, the unit's PropertiesChanged taken in.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <string_view>
#include <unistd.h>

namespace {

// Takes the unit's reports as the client's service manager does (its own interface only), and drops them.
class Follower : public QObject {
    Q_OBJECT

public slots:
    void changed(const QString&, const QVariantMap&, const QStringList&) {}
};

} // namespace

int main(int argc, char** argv) {
    const std::string_view option = argc == 3 || argc == 4 ? argv[1] : "";
    const bool exitAtStart = argc == 3 && option == "--exit-at-start";
    const bool listen = argc == 4 && option == "--listen";
    if (argc != 2 && !exitAtStart && !listen)
        return 64;
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QWidget window;
    window.setWindowTitle(QStringLiteral("floor"));
    window.setFixedSize(460, 420);
    QPixmap dot(22, 22);
    dot.fill(Qt::green);
    QSystemTrayIcon tray{QIcon(dot)};
    tray.show();
    const auto manager = [](const char* method) {
        return QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.systemd1"), QStringLiteral("/org/freedesktop/systemd1"),
            QStringLiteral("org.freedesktop.systemd1.Manager"), QString::fromLatin1(method));
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.send(manager("Subscribe"));
    const QString unit = QString::fromLocal8Bit(argv[argc - 1]);
    QDBusMessage list = manager("ListUnitsByNames");
    list << QStringList{unit};
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { (void)bus.asyncCall(list); });
    timer.start(2000);
    QLocalServer server;
    Follower follower;
    if (listen) {
        QLocalServer::removeServer(QString::fromLocal8Bit(argv[2]));
        if (!server.listen(QString::fromLocal8Bit(argv[2])))
            return 1;
        QObject::connect(&server, &QLocalServer::newConnection, [&] {
            while (QLocalSocket* connection = server.nextPendingConnection()) {
                QObject::connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
                connection->disconnectFromServer();
            }
        });
        QDBusMessage load = manager("LoadUnit");
        load << unit;
        const QString path = bus.call(load).arguments().value(0).value<QDBusObjectPath>().path();
        if (path.isEmpty())
            return 1;
        bus.connect(QString(), path, QStringLiteral("org.freedesktop.DBus.Properties"),
                    QStringLiteral("PropertiesChanged"), {QStringLiteral("org.freedesktop.systemd1.Unit")},
                    QString(), &follower, SLOT(changed(QString, QVariantMap, QStringList)));
    }
    window.show();
    if (exitAtStart)
        QTimer::singleShot(0, [] { ::_exit(0); });
    return QApplication::exec();
}

#include "FloorClient.moc"
