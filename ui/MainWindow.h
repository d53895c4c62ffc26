#pragma once

#include <QWidget>

namespace quern {

class AppDelegate;

// The client's one window. Closing it asks the application object, which hides it instead (and
// lets a quit close it); a change of palette or theme has the application object redraw its
// named colours and symbols.
class MainWindow final : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(AppDelegate& delegate);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    AppDelegate& delegate_;
};

} // namespace quern
