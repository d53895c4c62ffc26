#include "app/AppDelegate.h"

#include "platform/SymbolImages.h"
#include "platform/SystemColors.h"
#include "ui/DotView.h"
#include "ui/ElidingLabel.h"
#include "ui/StatePresentation.h"
#include "ui/StatusItem.h"

#include <QAction>
#include <QPushButton>

#include <cstdlib>

namespace quern {

void AppDelegate::applyState(AgentState state, std::string_view detail) {
    if (!statusItem_)
        std::abort(); // built at launch, before the first refresh

    const StatePresentation look = presentationFor(state);
    const QString stateTitle = QString::fromUtf8(title(state));

    currentState_ = state;
    statusLabel_->setText(stateTitle);
    detailLabel_->setText(QString::fromUtf8(detail));
    statusDot_->setColor(look.dotColor);
    statusItem_->setImage(look.statusSymbol, stateTitle);
    stateItem_->setText(stateTitle);

    toggleButton_->setText(QString::fromUtf8(look.toggleTitle));
    // Drawing a symbol is the costliest step of a refresh; the same one is not drawn again.
    const QString toggleSymbol = QString::fromUtf8(look.toggleSymbol);
    if (toggleButton_->property("symbol").toString() != toggleSymbol || toggleButton_->icon().isNull()) {
        toggleButton_->setProperty("symbol", toggleSymbol);
        toggleButton_->setIcon(
            symbolImage(look.toggleSymbol, toggleButton_->palette().color(QPalette::ButtonText)));
    }
    toggleButton_->setAccessibleName(toggleButton_->text());
    emit statePresented(stateTitle, detailLabel_->text());
}

} // namespace quern
