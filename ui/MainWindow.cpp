#include "ui/MainWindow.h"

#include "platform/Desktop.h"
#include "platform/SymbolImages.h"
#include "platform/SystemColors.h"
#include "supervisor/Supervisor.h"
#include "ui/BackgroundView.h"
#include "ui/CardBox.h"
#include "ui/Commands.h"
#include "ui/DotView.h"
#include "ui/ElidingLabel.h"
#include "ui/IconView.h"
#include "ui/Spinner.h"
#include "ui/StatePresentation.h"
#include "ui/Texts.h"

#include <QAction>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

namespace quern {
namespace {

constexpr int kContentWidth = 460;
constexpr int kContentHeight = 420;
constexpr int kSideInset = 28;
constexpr int kTopInset = 46; // clear of the title bar where the content runs under it
constexpr int kBottomInset = 24;

// Sizes are in device-independent pixels, which is what a point is on the Mac.
QFont systemFont(int size, QFont::Weight weight) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(size);
    font.setWeight(weight);
    return font;
}

void setTextColor(QWidget* label, SystemColor color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, systemColor(color, QGuiApplication::palette()));
    label->setPalette(palette);
    label->setProperty("systemColor", static_cast<int>(color));
}

QBoxLayout* stack(QBoxLayout::Direction direction, int spacing) {
    auto* layout = new QBoxLayout(direction);
    layout->setSpacing(spacing);
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

QWidget* holding(QLayout* layout) {
    auto* widget = new QWidget;
    widget->setLayout(layout);
    return widget;
}

} // namespace

MainWindow::MainWindow(Supervisor& supervisor, Commands& commands)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , supervisor_(supervisor)
    , commands_(commands)
    , statusDot_(new DotView)
    , statusLabel_(new QLabel(QString::fromUtf8(kChecking)))
    , detailLabel_(new ElidingLabel(QString()))
    , activity_(new Spinner) {
    setWindowTitle(QString::fromUtf8(kAppName));
    setFixedSize(kContentWidth, kContentHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }

    auto* backgroundView = new BackgroundView;
    auto* windowLayout = stack(QBoxLayout::TopToBottom, 0);
    windowLayout->addWidget(backgroundView);
    setLayout(windowLayout);

    // Header.
    auto* titleLabel = new QLabel(QString::fromUtf8(kAppName));
    titleLabel->setFont(systemFont(28, QFont::Bold));
    auto* subtitleLabel = new QLabel(QString::fromUtf8(kSubtitle));
    subtitleLabel->setFont(systemFont(13, QFont::Medium));
    setTextColor(subtitleLabel, SystemColor::SecondaryLabel);
    auto* titleColumn = stack(QBoxLayout::TopToBottom, 3);
    titleColumn->addWidget(titleLabel, 0, Qt::AlignLeft);
    titleColumn->addWidget(subtitleLabel, 0, Qt::AlignLeft);
    auto* iconView = new IconView(applicationImage());
    iconView->setCornerRadius(8);
    iconView->setFixedSize(52, 52);
    auto* headerRow = stack(QBoxLayout::LeftToRight, 14);
    headerRow->addWidget(iconView, 0, Qt::AlignVCenter);
    headerRow->addLayout(titleColumn);
    headerRow->setAlignment(titleColumn, Qt::AlignVCenter);
    headerRow->addStretch(1);

    // Status card; named for accessibility tools and tests, which find them in the window.
    statusLabel_->setObjectName(QStringLiteral("statusLabel"));
    detailLabel_->setObjectName(QStringLiteral("detailLabel"));
    activity_->setObjectName(QStringLiteral("activity"));
    statusDot_->setFixedSize(12, 12);
    statusLabel_->setFont(systemFont(18, QFont::DemiBold));
    detailLabel_->setFont(systemFont(12, QFont::Normal));
    setTextColor(detailLabel_, SystemColor::SecondaryLabel);
    detailLabel_->setElideMode(Qt::ElideMiddle);
    auto* labelColumn = stack(QBoxLayout::TopToBottom, 4);
    labelColumn->addWidget(statusLabel_);
    labelColumn->addWidget(detailLabel_);
    auto* statusRow = stack(QBoxLayout::LeftToRight, 12);
    statusRow->addWidget(statusDot_, 0, Qt::AlignVCenter);
    statusRow->addLayout(labelColumn, 1);
    statusRow->setAlignment(labelColumn, Qt::AlignVCenter);
    statusRow->addStretch(0); // the spacer: the label column takes the free width first
    statusRow->addWidget(activity_, 0, Qt::AlignVCenter);
    auto* statusCard = new CardBox;
    statusRow->setContentsMargins(16, 16, 16, 16);
    statusCard->setLayout(statusRow);
    statusCard->setFixedHeight(78);

    // Commands.
    QPushButton* dashboardButton = commandButton(commands_.openDashboard(), "dashboardButton");
    dashboardButton->setDefault(true);
    dashboardButton->setFixedHeight(44);
    // Return presses the default button wherever the focus is in this window.
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* returnKey = new QShortcut(QKeySequence(key), this);
        returnKey->setContext(Qt::WindowShortcut);
        connect(returnKey, &QShortcut::activated, dashboardButton, &QPushButton::click);
    }
    // The partner buttons take no height of their own but fill their row, so each row reads as
    // one band of equal buttons (the Mac's fixed-height bezels look the same).
    QPushButton* reconnectButton = commandButton(commands_.reconnect(), "reconnectButton");
    reconnectButton->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto* primaryButtonRow = stack(QBoxLayout::LeftToRight, 10);
    primaryButtonRow->addWidget(dashboardButton, 1);
    primaryButtonRow->addWidget(reconnectButton, 1);
    QPushButton* logsButton = commandButton(commands_.openLogs(), "logsButton");
    logsButton->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    QPushButton* toggleButton = commandButton(commands_.toggle(), "toggleButton");
    toggleButton->setFixedHeight(40);
    auto* secondaryButtonRow = stack(QBoxLayout::LeftToRight, 10);
    secondaryButtonRow->addWidget(toggleButton, 1);
    secondaryButtonRow->addWidget(logsButton, 1);

    auto* footnoteLabel = new QLabel(QString::fromUtf8(kFootnote));
    footnoteLabel->setObjectName(QStringLiteral("footnoteLabel"));
    footnoteLabel->setWordWrap(true);
    footnoteLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    footnoteLabel->setFont(systemFont(11, QFont::Normal));
    setTextColor(footnoteLabel, SystemColor::TertiaryLabel);
    footnoteLabel->setMaximumHeight(footnoteLabel->fontMetrics().lineSpacing() * 2);

    // The column: pinned 46 from the top and 28 from each side; free space stays below it.
    auto* contentStack = stack(QBoxLayout::TopToBottom, 16);
    contentStack->addLayout(headerRow);
    contentStack->addWidget(statusCard);
    contentStack->addWidget(holding(primaryButtonRow));
    contentStack->addWidget(holding(secondaryButtonRow));
    contentStack->addWidget(footnoteLabel);
    auto* contentColumn = holding(contentStack);
    contentColumn->setObjectName(QStringLiteral("contentStack"));
    contentColumn->setFixedWidth(kContentWidth - 2 * kSideInset);
    auto* backgroundLayout = stack(QBoxLayout::TopToBottom, 0);
    backgroundLayout->setContentsMargins(kSideInset, kTopInset, kSideInset, kBottomInset);
    backgroundLayout->addWidget(contentColumn, 0, Qt::AlignTop);
    backgroundLayout->addStretch(1);
    backgroundView->setLayout(backgroundLayout);

    Desktop::instance().makeTitleBarTransparent(this);

    connect(&supervisor_, &Supervisor::stateChanged, this, &MainWindow::stateChanged);
    connect(&supervisor_, &Supervisor::busyChanged, this, [this](bool busy) {
        if (busy)
            activity_->startAnimation();
        else
            activity_->stopAnimation();
    });
    built_ = true;
    stateChanged();
}

QPushButton* MainWindow::commandButton(QAction* action, const char* objectName) {
    auto* button = new QPushButton;
    button->setObjectName(QLatin1String(objectName));
    button->setFont(systemFont(13, QFont::DemiBold));
    button->setAutoDefault(false);
    const auto follow = [button, action] {
        button->setText(action->text());
        // An unknown symbol gives no image, and the button shows its title alone.
        button->setIcon(action->icon());
        button->setEnabled(action->isEnabled());
        button->setAccessibleName(action->text());
    };
    follow();
    connect(action, &QAction::changed, button, follow);
    connect(button, &QPushButton::clicked, action, &QAction::trigger);
    return button;
}

void MainWindow::stateChanged() {
    if (!supervisor_.stateKnown())
        return; // still checking
    const StatePresentation look = presentationFor(supervisor_.state());
    statusLabel_->setText(stateTitle(supervisor_.state()));
    detailLabel_->setText(detailText(supervisor_.detail(), supervisor_.nextRetry()));
    statusDot_->setColor(look.dotColor);
}

void MainWindow::showWindow() {
    show();
    Desktop::instance().bringToFront(this);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Closing only hides: the window keeps its contents and comes back with showWindow. A quit
    // closes every window first; refusing here would cancel it (and a logout on macOS).
    if (quitWatch_.quitInProgress()) {
        event->accept();
        return;
    }
    event->ignore();
    hide();
}

void MainWindow::changeEvent(QEvent* event) {
    // A new application palette reaches each widget as its own PaletteChange; only once built.
    const bool appearance = event->type() == QEvent::PaletteChange || event->type() == QEvent::ThemeChange;
    if (appearance && built_)
        updateAppearance();
    QWidget::changeEvent(event);
}

void MainWindow::updateAppearance() {
    // Named system colours and symbols follow a change between light and dark.
    for (QWidget* widget : findChildren<QWidget*>()) {
        const QVariant color = widget->property("systemColor");
        if (color.isValid())
            setTextColor(widget, static_cast<SystemColor>(color.toInt()));
    }
    commands_.updateAppearance();
    emit appearanceChanged();
}

} // namespace quern
