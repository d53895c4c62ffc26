#include "app/CommandLine.h"

#include "status/AgentIdentity.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>

namespace quern {
namespace {

std::vector<std::string> arguments;
RestoredWindow window = RestoredWindow::none;

// Qt's options as QGuiApplication, its xcb platform and QApplication read them; the first take a
// value. A session manager restarts the client with -session, a user may pick -platform or -style.
constexpr const char* kQtOptionsWithValue[] = {"platform",
                                               "platformpluginpath",
                                               "platformtheme",
                                               "plugin",
                                               "qwindowgeometry",
                                               "qwindowicon",
                                               "qwindowtitle",
                                               "session",
                                               "display",
                                               "geometry",
                                               "name",
                                               "title",
                                               "visual",
                                               "dialogs",
                                               "style",
                                               "stylesheet"};
constexpr const char* kQtFlags[] = {"reverse", "nograb", "dograb", "sync", "widgetcount"};

int usageError(const QString& problem) {
    std::fprintf(stderr, "quern-zova: %s; see --help\n", problem.toLocal8Bit().constData());
    return 2;
}

} // namespace

std::optional<int> readCommandLine(int argc, char** argv) {
    QStringList list;
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
#if defined(__APPLE__)
        // Added by older LaunchServices to a bundle opened from Finder; Qt drops it too.
        if (i > 0 && arguments.back().starts_with("-psn_"))
            continue;
#endif
        list << QString::fromLocal8Bit(argv[i]);
    }

    // Parsed without an application object: making one would already reach the display.
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions); // -platform, as Qt's
    parser.setApplicationDescription(
        QStringLiteral("Keeps the bridge agent running and shows the connection to the web console."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    QCommandLineOption restart(QString::fromLatin1(kRestartOption.data(), kRestartOption.size()), {},
                               QStringLiteral("state"));
    restart.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(restart);
    for (const char* name : kQtOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name), {}, QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    if (!parser.parse(list)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            return usageError(QStringLiteral("unknown option '%1'").arg(unknown.constFirst()));
        QString problem = parser.errorText(); // "Missing value after '-platform'."
        if (problem.endsWith(QLatin1Char('.')))
            problem.chop(1);
        return usageError(problem.isEmpty() ? problem : problem.front().toLower() + problem.mid(1));
    }
    if (const QStringList stray = parser.positionalArguments(); !stray.isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(stray.constFirst()));
    if (parser.isSet(help)) {
        // Without an application object the parser cannot name the program itself.
        QString text = parser.helpText();
        text.replace(0, text.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: quern-zova [options]"));
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("quern-zova %s\n", kVersion.data());
        return 0;
    }
    if (parser.isSet(restart)) {
        const QString state = parser.value(restart);
        if (state != QStringLiteral("shown") && state != QStringLiteral("hidden"))
            return usageError(QStringLiteral("--%1 takes shown or hidden").arg(restart.names().constFirst()));
        window = state == QStringLiteral("shown") ? RestoredWindow::shown : RestoredWindow::hidden;
    }
    return std::nullopt;
}

const std::vector<std::string>& launchArguments() {
    return arguments;
}

RestoredWindow restoredWindow() {
    return window;
}

} // namespace quern
