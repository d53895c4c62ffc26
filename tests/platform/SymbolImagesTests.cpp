#include "platform/SymbolImages.h"

#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

namespace quern {
namespace {

TEST(SymbolImages, EverySymbolIsAGlyphInItsColourAtEveryPixelRatio) {
    const QColor blue(0x0A, 0x84, 0xFF);
    for (const char* name :
         {"link.circle", "link.circle.fill", "arrow.triangle.2.circlepath.circle", "play.fill", "stop.fill",
          "arrow.clockwise", "safari", "doc.text.magnifyingglass"}) {
        for (const qreal dpr : {1.0, 2.0}) {
            SCOPED_TRACE(testing::Message() << name << " at " << dpr);
            const QPixmap pixmap = symbolImage(name, blue).pixmap(QSize(24, 24), dpr);
            ASSERT_EQ(pixmap.size(), QSize(24, 24) * dpr);
            const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
            int painted = 0;
            int offColour = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QColor c = image.pixelColor(x, y);
                    painted += c.alpha() > 0 ? 1 : 0;
                    offColour += c.alpha() == 255 && c.rgb() != blue.rgb() ? 1 : 0;
                }
            const int area = image.width() * image.height();
            EXPECT_GT(painted, area / 12);
            EXPECT_LT(painted, area * 9 / 10);
            EXPECT_EQ(offColour, 0);
        }
    }
    for (const char* unknown : {"", "no.such.symbol", "AppIcon", "../icons/link.circle", "LINK.CIRCLE"}) {
        EXPECT_TRUE(symbolImage(unknown, blue).isNull()) << unknown;
        EXPECT_TRUE(trayImage(unknown, QPalette()).isNull()) << unknown;
    }
    EXPECT_FALSE(applicationImage().isNull());
}

} // namespace
} // namespace quern
