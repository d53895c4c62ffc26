#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

class QAction;

namespace quern {

class Supervisor;

// The client's commands, one QAction each, shared by the window's buttons and the tray menu: what
// disables one disables it everywhere. Start/stop and reconnect follow the supervisor (its state
// names the toggle; a command in progress, or no state yet, disables both); the rest are the
// desktop's. Showing the window and quitting are wired by the application.
class Commands final : public QObject {
    Q_OBJECT

public:
    Commands(Supervisor& supervisor, QUrl dashboard, QString agentLog, QObject* parent = nullptr);

    [[nodiscard]] QAction* toggle() const { return toggle_; }
    [[nodiscard]] QAction* reconnect() const { return reconnect_; }
    [[nodiscard]] QAction* openDashboard() const { return dashboard_; }
    [[nodiscard]] QAction* openLogs() const { return logs_; }
    [[nodiscard]] QAction* showWindow() const { return showWindow_; }
    [[nodiscard]] QAction* quit() const { return quit_; }

    // Draws the symbols again, for a new light or dark appearance.
    void updateAppearance();

private:
    void stateChanged();
    void busyChanged();
    [[nodiscard]] QAction* action(const char* objectName, std::string_view title,
                                  std::string_view symbol = {});

    Supervisor& supervisor_;
    const QUrl dashboard_url_;
    const QString agentLog_;
    QAction* toggle_;
    QAction* reconnect_;
    QAction* dashboard_;
    QAction* logs_;
    QAction* showWindow_;
    QAction* quit_;
};

} // namespace quern
