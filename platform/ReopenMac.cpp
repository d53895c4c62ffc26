#include "platform/Reopen.h"

#include <QGuiApplication>

#include <utility>

namespace quern {

void watchForReopen(QObject* context, std::function<void()> reopened) {
    QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, context,
                     [reopened = std::move(reopened)](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive)
                             reopened();
                     });
}

} // namespace quern
