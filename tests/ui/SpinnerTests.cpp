#include "ui/Spinner.h"

#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>

namespace quern {
namespace {

const QColor kInk(0xC0, 0x20, 0x80);

// A spinner between two labels in a shown window, as the main window lays it out.
class SpinnerInWindow : public testing::Test {
protected:
    void SetUp() override {
        QPalette palette = window_.palette();
        palette.setColor(QPalette::WindowText, kInk);
        window_.setPalette(palette);
        auto* layout = new QHBoxLayout(&window_);
        layout->addWidget(new QLabel(QStringLiteral("Connecting"), &window_));
        spinner_ = new Spinner(&window_);
        layout->addWidget(spinner_);
        layout->addStretch();
        window_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
    }

    [[nodiscard]] QTimer* frames() const { return spinner_->findChild<QTimer*>(); }
    // What the spinner itself draws, without the window background beneath it.
    [[nodiscard]] QImage picture() const {
        QImage image(spinner_->size() * 2, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(2);
        image.fill(Qt::transparent);
        spinner_->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image.convertToFormat(QImage::Format_ARGB32);
    }

    QWidget window_;
    Spinner* spinner_ = nullptr;
};

int countPixels(const QImage& image, auto&& predicate) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += predicate(image.pixelColor(x, y)) ? 1 : 0;
    return count;
}

int inkPixels(const QImage& image) {
    const auto near = [](int a, int b) { return std::abs(a - b) <= 3; };
    return countPixels(image, [&](const QColor& c) {
        return c.alpha() > 0 && near(c.red(), kInk.red()) && near(c.green(), kInk.green()) &&
               near(c.blue(), kInk.blue());
    });
}

TEST_F(SpinnerInWindow, PaintsSpokesInTheTextColourUnlessStoppedAndHidden) {
    struct Row {
        bool animating;
        bool displayedWhenStopped;
        bool paints;
    };
    for (const Row row : {Row{true, false, true}, Row{false, true, true}, Row{false, false, false}}) {
        SCOPED_TRACE(testing::Message() << "animating " << row.animating << ", displayed when stopped "
                                        << row.displayedWhenStopped);
        spinner_->setDisplayedWhenStopped(row.displayedWhenStopped);
        if (row.animating)
            spinner_->startAnimation();
        else
            spinner_->stopAnimation();
        const QImage image = picture();
        const int painted = countPixels(image, [](const QColor& c) { return c.alpha() > 0; });
        if (row.paints) {
            EXPECT_GT(inkPixels(image), 10);
            EXPECT_LT(painted, image.width() * image.height() * 3 / 4);
        } else {
            EXPECT_EQ(painted, 0);
        }
    }
}

TEST_F(SpinnerInWindow, FrameTimerRunsOnlyWhileAnimatingOnScreen) {
    ASSERT_NE(frames(), nullptr);
    EXPECT_FALSE(frames()->isActive());
    spinner_->startAnimation();
    EXPECT_TRUE(frames()->isActive());
    EXPECT_TRUE(spinner_->isAnimating());

    window_.hide();
    EXPECT_FALSE(frames()->isActive());
    EXPECT_TRUE(spinner_->isAnimating());
    window_.show();
    EXPECT_TRUE(frames()->isActive());

    spinner_->stopAnimation();
    EXPECT_FALSE(frames()->isActive());
    EXPECT_FALSE(spinner_->isAnimating());
}

} // namespace
} // namespace quern
