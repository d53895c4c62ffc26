#include "platform/SymbolImages.h"
#include "platform/SystemColors.h"

#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

namespace quern {
namespace {

constexpr std::array kSymbols = {
    "link.circle",     "link.circle.fill", "arrow.triangle.2.circlepath.circle", "play.fill", "stop.fill",
    "arrow.clockwise", "safari",           "doc.text.magnifyingglass",
};

QPalette paletteOf(QColor text, QColor window) {
    QPalette palette;
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::WindowText, text);
        palette.setColor(group, QPalette::Window, window);
    }
    return palette;
}

const QPalette& lightPalette() {
    static const QPalette palette = paletteOf(Qt::black, QColor(0xEC, 0xEC, 0xEC));
    return palette;
}

const QPalette& darkPalette() {
    static const QPalette palette = paletteOf(Qt::white, QColor(0x32, 0x32, 0x32));
    return palette;
}

struct PixelCounts {
    int painted = 0; // any coverage
    int solid = 0;   // full coverage
    int maxAlpha = 0;
    int offColourSolid = 0; // fully covered yet not the wanted colour
};

PixelCounts countPixels(const QImage& source, QColor wanted) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    PixelCounts counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            const int alpha = qAlpha(pixel);
            counts.maxAlpha = std::max(counts.maxAlpha, alpha);
            if (alpha > 0)
                ++counts.painted;
            if (alpha == wanted.alpha()) {
                ++counts.solid;
                if (qRed(pixel) != wanted.red() || qGreen(pixel) != wanted.green() ||
                    qBlue(pixel) != wanted.blue())
                    ++counts.offColourSolid;
            }
        }
    }
    return counts;
}

class SymbolRendering : public testing::TestWithParam<std::tuple<const char*, qreal>> {};

TEST_P(SymbolRendering, DrawsTheGlyphInTheWantedColourAtDevicePixels) {
    const auto [name, dpr] = GetParam();
    const QColor blue(0x0A, 0x84, 0xFF);
    ASSERT_TRUE(hasSymbol(name));
    const QIcon icon = symbolImage(name, blue);
    ASSERT_FALSE(icon.isNull());

    const QPixmap pixmap = icon.pixmap(QSize(24, 24), dpr);
    EXPECT_EQ(pixmap.size(), QSize(24, 24) * dpr);
    EXPECT_EQ(pixmap.devicePixelRatio(), dpr);

    const PixelCounts counts = countPixels(pixmap.toImage(), blue);
    const int area = pixmap.width() * pixmap.height();
    EXPECT_GT(counts.painted, area / 12) << "too little drawn";
    EXPECT_LT(counts.painted, area * 9 / 10) << "a blob, not a glyph";
    EXPECT_GT(counts.solid, 0);
    EXPECT_EQ(counts.offColourSolid, 0);
}

INSTANTIATE_TEST_SUITE_P(AllSymbols, SymbolRendering,
                         testing::Combine(testing::ValuesIn(kSymbols), testing::Values(1.0, 2.0)),
                         [](const auto& info) {
                             std::string name = std::get<0>(info.param);
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name + (std::get<1>(info.param) > 1.0 ? "_at2x" : "_at1x");
                         });

TEST(SymbolImages, UnknownNamesGiveNullIcons) {
    for (const char* name : {"", "no.such.symbol", "AppIcon", "link.circle.svg", "../icons/link.circle",
                             "icons/link.circle", "LINK.CIRCLE"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(hasSymbol(name));
        EXPECT_TRUE(symbolImage(name, Qt::red).isNull());
        EXPECT_TRUE(trayImage(name, lightPalette()).isNull());
    }
}

TEST(SymbolImages, ApplicationImageIsAColouredTile) {
    const QIcon icon = applicationImage();
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(QSize(128, 128), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(image.size(), QSize(128, 128));
    EXPECT_EQ(qAlpha(image.pixel(1, 1)), 0) << "corners are rounded";
    const QColor face = image.pixelColor(30, 64);
    EXPECT_EQ(face.alpha(), 255);
    EXPECT_GT(face.saturation(), 80) << "the tile is kept in its own colours";
}

TEST(SymbolImages, TrayImageIsLegibleOnEitherPanel) {
    for (const QPalette* palette : {&lightPalette(), &darkPalette()}) {
        const QIcon icon = trayImage("link.circle", *palette);
        ASSERT_FALSE(icon.isNull());
#ifdef Q_OS_MACOS
        EXPECT_TRUE(icon.isMask()); // the menu bar tints it
#else
        EXPECT_FALSE(icon.isMask());
        const QColor text = palette->color(QPalette::WindowText);
        const QColor window = palette->color(QPalette::Window);
        const QImage image = icon.pixmap(QSize(22, 22), 2.0).toImage().convertToFormat(QImage::Format_ARGB32);
        int glyph = 0;
        int ring = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.alpha() == 255 && c.rgb() == text.rgb())
                    ++glyph;
                else if (c.alpha() > 64 && std::abs(c.lightness() - window.lightness()) < 24)
                    ++ring;
            }
        }
        EXPECT_GT(glyph, 20) << "glyph in the text colour";
        EXPECT_GT(ring, 20) << "ringed in the window colour";
#endif
    }
}

TEST(SystemColors, AppKitNamesGiveTheirLightAndDarkValues) {
    struct Row {
        const char* name;
        SystemColor color;
        QRgb light;
        QRgb dark;
    };
    constexpr std::array<Row, 8> table{{
        {"systemGreen", SystemColor::Green, qRgb(0x34, 0xC7, 0x59), qRgb(0x30, 0xD1, 0x58)},
        {"systemOrange", SystemColor::Orange, qRgb(0xFF, 0x95, 0x00), qRgb(0xFF, 0x9F, 0x0A)},
        {"systemRed", SystemColor::Red, qRgb(0xFF, 0x3B, 0x30), qRgb(0xFF, 0x45, 0x3A)},
        {"label", SystemColor::Label, qRgba(0, 0, 0, 216), qRgba(255, 255, 255, 216)},
        {"secondaryLabel", SystemColor::SecondaryLabel, qRgba(0, 0, 0, 127), qRgba(255, 255, 255, 140)},
        {"tertiaryLabel", SystemColor::TertiaryLabel, qRgba(0, 0, 0, 66), qRgba(255, 255, 255, 63)},
        {"separator", SystemColor::Separator, qRgba(0, 0, 0, 25), qRgba(255, 255, 255, 25)},
        {"controlBackground", SystemColor::ControlBackground, qRgb(0xFF, 0xFF, 0xFF), qRgb(0x1E, 0x1E, 0x1E)},
    }};
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(systemColorNamed(row.name), row.color);
        EXPECT_EQ(systemColor(row.color, lightPalette()).rgba(), row.light);
        EXPECT_EQ(systemColor(row.color, darkPalette()).rgba(), row.dark);
    }
    for (const char* name : {"", "green", "systemgreen", "SystemGreen", "systemBlue", "label "})
        EXPECT_EQ(systemColorNamed(name), std::nullopt) << '"' << name << '"';
    EXPECT_FALSE(isDarkPalette(lightPalette()));
    EXPECT_TRUE(isDarkPalette(darkPalette()));
}

} // namespace
} // namespace quern
