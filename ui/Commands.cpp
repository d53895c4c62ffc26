#include "ui/Commands.h"

#include "platform/Desktop.h"
#include "platform/SymbolImages.h"
#include "supervisor/Supervisor.h"
#include "ui/StatePresentation.h"
#include "ui/Texts.h"

#include <QAction>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QPalette>

namespace quern {

Commands::Commands(Supervisor& supervisor, QUrl dashboard, QString agentLog, QObject* parent)
    : QObject(parent)
    , supervisor_(supervisor)
    , dashboard_url_(std::move(dashboard))
    , agentLog_(std::move(agentLog))
    , toggle_(action("toggleAction", kStopAgent, "stop.fill"))
    , reconnect_(action("reconnectAction", kReconnectNow, "arrow.clockwise"))
    , dashboard_(action("dashboardAction", kOpenConsole, "safari"))
    , logs_(action("logsAction", kViewLog, "doc.text.magnifyingglass"))
    , showWindow_(action("showWindowAction", kShowWindow))
    , quit_(action("quitAction", kQuitClient)) {
    reconnect_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R)); // Command-R on macOS
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(toggle_, &QAction::triggered, &supervisor_, &Supervisor::toggleAgent);
    connect(reconnect_, &QAction::triggered, &supervisor_, &Supervisor::reconnectAgent);
    // The browser reports nothing back worth showing; the result is dropped.
    connect(dashboard_, &QAction::triggered, this,
            [this] { (void)QDesktopServices::openUrl(dashboard_url_); });
    // Asked for even when agent.log does not exist yet.
    connect(logs_, &QAction::triggered, this, [this] { Desktop::instance().revealFile(agentLog_); });
    connect(&supervisor_, &Supervisor::stateChanged, this, &Commands::stateChanged);
    connect(&supervisor_, &Supervisor::busyChanged, this, &Commands::busyChanged);
    stateChanged();
    busyChanged();
}

QAction* Commands::action(const char* objectName, std::string_view title, std::string_view symbol) {
    auto* made = new QAction(QString::fromUtf8(title), this);
    made->setObjectName(QLatin1String(objectName));
    made->setShortcutVisibleInContextMenu(true);
    if (!symbol.empty()) {
        made->setProperty("symbol", QString::fromUtf8(symbol.data(), static_cast<qsizetype>(symbol.size())));
        made->setIcon(symbolImage(symbol, QGuiApplication::palette().color(QPalette::ButtonText)));
    }
    return made;
}

void Commands::stateChanged() {
    const StatePresentation look = presentationFor(supervisor_.state());
    toggle_->setText(QString::fromUtf8(look.toggleTitle));
    const QString symbol =
        QString::fromUtf8(look.toggleSymbol.data(), static_cast<qsizetype>(look.toggleSymbol.size()));
    // Drawing a symbol is the costliest step of a refresh; the same one is not drawn again.
    if (toggle_->property("symbol").toString() != symbol) {
        toggle_->setProperty("symbol", symbol);
        toggle_->setIcon(
            symbolImage(look.toggleSymbol, QGuiApplication::palette().color(QPalette::ButtonText)));
    }
    busyChanged(); // the first state enables them
}

void Commands::busyChanged() {
    // Nothing to decide by before the first state; one command at a time after it.
    const bool enabled = supervisor_.stateKnown() && !supervisor_.busy();
    toggle_->setEnabled(enabled);
    reconnect_->setEnabled(enabled);
}

void Commands::updateAppearance() {
    const QColor color = QGuiApplication::palette().color(QPalette::ButtonText);
    for (QAction* each : {toggle_, reconnect_, dashboard_, logs_}) {
        const std::string symbol = each->property("symbol").toString().toStdString();
        each->setIcon(symbolImage(symbol, color));
    }
}

} // namespace quern
