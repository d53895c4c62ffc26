#pragma once

#include <QObject>

namespace quern {

// Notices that the application is quitting, whoever asked (the menu, the system at logout). Qt asks
// every window to close before it quits, and one that refuses cancels the quit: the window's close
// handler asks this whether to give way.
class QuitWatch : public QObject {
    Q_OBJECT
public:
    explicit QuitWatch(QObject* parent = nullptr);

    [[nodiscard]] bool quitInProgress() const { return quitInProgress_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool quitInProgress_ = false;
};

} // namespace quern
