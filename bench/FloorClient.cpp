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

using namespace Qt::StringLiterals;

// Takes the unit's reports as the client's service manager does (its own interface only), and drops them.
class Follower : public QObject {
    Q_OBJECT

public slots:
    void changed(const QString&, const QVariantMap&, const QStringList&) {}
};

int main(int argc, char** argv) {
    const std::string_view option = argc == 3 || argc == 4 ? argv[1] : "";
    const bool exitAtStart = argc == 3 && option == "--exit-at-start";
    const bool listen = argc == 4 && option == "--listen";
    if (argc != 2 && !exitAtStart && !listen)
        return 64;
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QWidget window;
    window.setWindowTitle(u"floor"_s);
    window.setFixedSize(460, 420);
    QPixmap dot(22, 22);
    dot.fill(Qt::green);
    QSystemTrayIcon tray{QIcon(dot)};
    tray.show();
    const auto manager = [](const char* method) {
        return QDBusMessage::createMethodCall(u"org.freedesktop.systemd1"_s, u"/org/freedesktop/systemd1"_s,
                                              u"org.freedesktop.systemd1.Manager"_s, QLatin1String(method));
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.send(manager("Subscribe"));
    const QString unit = QString::fromLocal8Bit(argv[argc - 1]);
    const QDBusMessage list = manager("ListUnitsByNames") << QStringList{unit};
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
        const QDBusMessage loaded = bus.call(manager("LoadUnit") << unit);
        const QString path = loaded.arguments().value(0).value<QDBusObjectPath>().path();
        if (path.isEmpty())
            return 1;
        bus.connect(QString(), path, u"org.freedesktop.DBus.Properties"_s, u"PropertiesChanged"_s,
                    {u"org.freedesktop.systemd1.Unit"_s}, QString(), &follower,
                    SLOT(changed(QString, QVariantMap, QStringList)));
    }
    window.show();
    if (exitAtStart)
        QTimer::singleShot(0, [] { ::_exit(0); });
    return QApplication::exec();
}

#include "FloorClient.moc"
