#include "ui/MainWindow.h"

#include "app/AppDelegate.h"
#include "platform/Desktop.h"
#include "platform/SymbolImages.h"
#include "platform/SystemColors.h"
#include "ui/BackgroundView.h"
#include "ui/CardBox.h"
#include "ui/DotView.h"
#include "ui/ElidingLabel.h"
#include "ui/IconView.h"
#include "ui/Spinner.h"
#include "ui/StatusItem.h"
#include "ui/Texts.h"

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

MainWindow::MainWindow(AppDelegate& delegate)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , delegate_(delegate) {}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Closing only hides: the window keeps its contents and comes back with showWindow.
    if (delegate_.windowShouldClose())
        event->accept();
    else
        event->ignore();
}

void MainWindow::changeEvent(QEvent* event) {
    // A new application palette reaches each widget as its own PaletteChange. Only while the
    // application object holds the window, not while it is being made or destroyed.
    const bool appearance = event->type() == QEvent::PaletteChange || event->type() == QEvent::ThemeChange;
    if (appearance && delegate_.window() == this)
        delegate_.updateAppearance();
    QWidget::changeEvent(event);
}

QPushButton* AppDelegate::commandButton(std::string_view title, std::string_view symbol,
                                        void (AppDelegate::*action)(), const char* objectName) {
    auto* button = new QPushButton(QString::fromUtf8(title), viewHolder_.get());
    button->setObjectName(QLatin1String(objectName));
    connect(button, &QPushButton::clicked, this, action);
    button->setProperty("symbol", QString::fromUtf8(symbol));
    // An unknown symbol gives no image, and the button shows its title alone.
    button->setIcon(symbolImage(symbol, button->palette().color(QPalette::ButtonText)));
    button->setAccessibleName(button->text());
    button->setFont(systemFont(13, QFont::DemiBold));
    button->setAutoDefault(false);
    return button;
}

void AppDelegate::buildWindow() {
    window_ = std::make_unique<MainWindow>(*this);
    window_->setWindowTitle(QString::fromUtf8(kAppName));
    window_->setFixedSize(kContentWidth, kContentHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window_->size());
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }

    auto* backgroundView = new BackgroundView;
    auto* windowLayout = stack(QBoxLayout::TopToBottom, 0);
    windowLayout->addWidget(backgroundView);
    window_->setLayout(windowLayout);

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

    // Status card.
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

    // Commands; the toggle and reconnect buttons were made at construction.
    QPushButton* dashboardButton =
        commandButton(kOpenConsole, "safari", &AppDelegate::openDashboard, "dashboardButton");
    dashboardButton->setDefault(true);
    dashboardButton->setFixedHeight(44);
    // Return presses the default button wherever the focus is in this window.
    for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* returnKey = new QShortcut(QKeySequence(key), window_.get());
        returnKey->setContext(Qt::WindowShortcut);
        connect(returnKey, &QShortcut::activated, dashboardButton, &QPushButton::click);
    }
    // The partner buttons take no height of their own but fill their row, so each row reads as
    // one band of equal buttons (the Mac's fixed-height bezels look the same).
    reconnectButton_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto* primaryButtonRow = stack(QBoxLayout::LeftToRight, 10);
    primaryButtonRow->addWidget(dashboardButton, 1);
    primaryButtonRow->addWidget(reconnectButton_, 1);
    QPushButton* logsButton =
        commandButton(kViewLog, "doc.text.magnifyingglass", &AppDelegate::openLogs, "logsButton");
    logsButton->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    toggleButton_->setFixedHeight(40);
    auto* secondaryButtonRow = stack(QBoxLayout::LeftToRight, 10);
    secondaryButtonRow->addWidget(toggleButton_, 1);
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

    Desktop::instance().makeTitleBarTransparent(window_.get());
}

void AppDelegate::updateAppearance() {
    // Named system colours and symbols follow a change between light and dark.
    const QPalette palette = QGuiApplication::palette();
    for (QWidget* widget : window_->findChildren<QWidget*>()) {
        const QVariant color = widget->property("systemColor");
        if (color.isValid())
            setTextColor(widget, static_cast<SystemColor>(color.toInt()));
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            const std::string symbol = button->property("symbol").toString().toStdString();
            button->setIcon(symbolImage(symbol, palette.color(QPalette::ButtonText)));
        }
    }
    if (statusItem_)
        statusItem_->refreshImage();
}

} // namespace quern
