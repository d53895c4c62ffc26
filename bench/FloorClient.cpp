// quern-bench-floor: the least program that does the client's visible job on Linux: a 460 × 420
// window, a tray icon, a subscription to the user's systemd and every 2 seconds the question the
// client's idle refresh sends, one asynchronous ListUnitsByNames of the unit, its answer dropped.
// --texts also shows the client's texts in plain labels and buttons, which tells the cost of showing
// them from the rest; --exit-at-start ends it on its first event-loop pass, for hyperfine.
// Usage: quern-bench-floor [--texts|--exit-at-start] UNIT
#include <QApplication>
#include <QBoxLayout>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

#include <string_view>
#include <unistd.h>

int main(int argc, char** argv) {
    const std::string_view option = argc == 3 ? argv[1] : "";
    if (argc != (option.empty() ? 2 : 3) ||
        !(option.empty() || option == "--texts" || option == "--exit-at-start"))
        return 64;
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QWidget window;
    window.setWindowTitle(QStringLiteral("floor"));
    window.setFixedSize(460, 420);
    if (option == "--texts") { // what the client's window says when the agent is online
        auto* column = new QVBoxLayout(&window);
        for (const char* text :
             {"Quern Zova", "本机连接", "设备在线", "代理 1.5.1 · 最多 3 个任务并行",
              "后台代理会随登录自动启动。窗口关闭后，菜单栏中的连接图标仍可用于查看状态和重新连接。"})
            column->addWidget(new QLabel(QString::fromUtf8(text)));
        for (const char* text : {"打开控制台", "立即重连", "停止代理", "查看日志"})
            column->addWidget(new QPushButton(QString::fromUtf8(text)));
    }
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
    if (option == "--exit-at-start")
        QTimer::singleShot(0, [] { ::_exit(0); });
    return QApplication::exec();
}
