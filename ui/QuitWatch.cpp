#include "ui/QuitWatch.h"

#include <QCoreApplication>
#include <QEvent>

namespace quern {

QuitWatch::QuitWatch(QObject* parent)
    : QObject(parent) {
    // The quit request is an event sent to the application object before any window is asked.
    QCoreApplication::instance()->installEventFilter(this);
}

bool QuitWatch::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance())
        quitInProgress_ = true; // nothing of ours cancels a quit once it has begun
    return QObject::eventFilter(watched, event);
}

} // namespace quern
