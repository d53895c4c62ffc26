// quern-bench-floor: the least program that does the client's visible job on Linux: a 460 × 420
// window, a tray icon, a subscription to the user's systemd and every 2 seconds the question the
// client's idle refresh sends, one asynchronous ListUnitsByNames of the unit, its answer dropped.
// --exit-at-start ends it on its first event-loop pass, for hyperfine.
// Usage: quern-bench-floor [--exit-at-start] UNIT
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <string_view>
#include <unistd.h>

int main(int argc, char** argv) {
    const bool exitAtStart = argc == 3 && std::string_view(argv[1]) == "--exit-at-start";
    if (argc != (exitAtStart ? 3 : 2))
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
    QDBusMessage list = manager("ListUnitsByNames");
    list << QStringList{QString::fromLocal8Bit(argv[argc - 1])};
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { (void)bus.asyncCall(list); });
    timer.start(2000);
    window.show();
    if (exitAtStart)
        QTimer::singleShot(0, [] { ::_exit(0); });
    return QApplication::exec();
}
