#pragma once

#include "ui/QuitWatch.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace quern {

class Commands;
class DotView;
class ElidingLabel;
class Spinner;
class Supervisor;

// The client's one window, built in its constructor: the state card shows the supervisor's state,
// the buttons are the shared commands. Closing it only hides it (a quit closes it); a change of
// palette or theme redraws the named colours and symbols.
class MainWindow final : public QWidget {
    Q_OBJECT

public:
    MainWindow(Supervisor& supervisor, Commands& commands);

    // Shows the window, in front.
    void showWindow();

signals:
    // The light or dark appearance changed: the tray's icon follows.
    void appearanceChanged();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void stateChanged();
    void updateAppearance();
    // A button that shows and triggers a shared command.
    [[nodiscard]] QPushButton* commandButton(QAction* action, const char* objectName);

    Supervisor& supervisor_;
    Commands& commands_;
    QuitWatch quitWatch_;
    DotView* statusDot_;
    QLabel* statusLabel_;
    ElidingLabel* detailLabel_;
    Spinner* activity_;
    bool built_ = false;
};

} // namespace quern
