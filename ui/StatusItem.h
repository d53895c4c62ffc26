#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <string_view>

class QMenu;
class QSystemTrayIcon;

namespace quern {

// The tray item: one icon-only button and one menu, kept for the life of the process.
class StatusItem : public QObject {
    Q_OBJECT
public:
    explicit StatusItem(QObject* parent = nullptr);
    ~StatusItem() override;

    // The button's image: a named symbol with its accessible description (also the tooltip).
    void setImage(std::string_view symbol, const QString& description);
    // Redraws the icon for the current appearance.
    void refreshImage();

    void setMenu(std::unique_ptr<QMenu> menu);

    // Shows the icon, and shows it again to each status notifier host that starts later. Called
    // once: the refresh cadence never asks whether a tray exists.
    void show();

signals:
    // A left click on the icon (Linux); on macOS a click opens the menu instead.
    void clicked();

private:
    QSystemTrayIcon* tray_;
    std::unique_ptr<QMenu> menu_;
    std::string symbol_;
    QString description_;
};

// The data of the tray menu's read-only line naming the state, its tag.
inline constexpr int kStateItemTag = 100;

} // namespace quern
