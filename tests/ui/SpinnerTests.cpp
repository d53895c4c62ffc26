#include "ui/Spinner.h"

#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace quern {
namespace {

// An idle client must cost nothing: the spinner's frames run only while it animates on screen.
TEST(Spinner, FrameTimerRunsOnlyWhileAnimatingOnScreen) {
    QWidget window;
    auto* spinner = new Spinner(&window);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QTimer* frames = spinner->findChild<QTimer*>();
    ASSERT_NE(frames, nullptr);
    EXPECT_FALSE(frames->isActive());
    spinner->startAnimation();
    EXPECT_TRUE(frames->isActive());
    window.hide();
    EXPECT_FALSE(frames->isActive());
    EXPECT_TRUE(spinner->isAnimating());
    window.show();
    EXPECT_TRUE(frames->isActive());
    spinner->stopAnimation();
    EXPECT_FALSE(frames->isActive());
}

} // namespace
} // namespace quern
