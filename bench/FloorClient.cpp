// quern-bench-floor: the least program that does the client's visible job: a 460 × 420 window, a
// tray icon, and every 2 seconds `launchctl print` started with posix_spawn and reaped with waitpid.
// --texts also shows the client's texts in plain labels and buttons, which tells the cost of showing
// them from the rest; --exit-at-start ends it on its first event-loop pass, for hyperfine.
// Usage: quern-bench-floor [--texts|--exit-at-start] LAUNCHCTL TARGET
#include <QApplication>
#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
    const std::string_view option = argc == 4 ? argv[1] : "";
    if (argc != (option.empty() ? 3 : 4) ||
        !(option.empty() || option == "--texts" || option == "--exit-at-start"))
        return 64;
    char print[] = "print";
    char* printArgv[] = {argv[argc - 2], print, argv[argc - 1], nullptr};
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
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (::posix_spawn(&pid, printArgv[0], &actions, nullptr, printArgv, environ) == 0) {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        ::posix_spawn_file_actions_destroy(&actions);
    });
    timer.start(2000);
    window.show();
    if (option == "--exit-at-start")
        QTimer::singleShot(0, [] { ::_exit(0); });
    return QApplication::exec();
}
