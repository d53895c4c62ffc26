#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>

class QAction;
class QDateTime;
class QMenu;
class QSystemTrayIcon;

namespace quern {

class Commands;
class Supervisor;

// The tray item: one icon that names the state, and its menu (the state line, then the shared
// commands), kept for the life of the process. A click on the icon (Linux) shows the window; on
// macOS a click opens the menu instead.
class StatusItem final : public QObject {
    Q_OBJECT

public:
    StatusItem(Supervisor& supervisor, Commands& commands, QObject* parent = nullptr);
    ~StatusItem() override;

    // Shows the icon, and shows it again to each status notifier host that starts later. Called
    // once: the refresh cadence never asks whether a tray exists.
    void show();
    // Redraws the icon for the current appearance.
    void refreshImage();

private:
    void stateChanged();
    void retryHeld(const QDateTime& nextRetry);

    Supervisor& supervisor_;
    QSystemTrayIcon* tray_;
    std::unique_ptr<QMenu> menu_;
    QAction* stateItem_; // the read-only line naming the state
    std::string symbol_;
};

// The data of the tray menu's read-only line naming the state, its tag.
inline constexpr int kStateItemTag = 100;

} // namespace quern
