#include "platform/SystemColors.h"

#include <array>
#include <utility>

namespace quern {
namespace {

struct Appearances {
    QRgb light;
    QRgb dark;
};

// AppKit's published values; alphas are the fractions scaled to 255.
constexpr Appearances appearancesOf(SystemColor color) {
    switch (color) {
    case SystemColor::Green:
        return {qRgb(0x34, 0xC7, 0x59), qRgb(0x30, 0xD1, 0x58)};
    case SystemColor::Orange:
        return {qRgb(0xFF, 0x95, 0x00), qRgb(0xFF, 0x9F, 0x0A)};
    case SystemColor::Red:
        return {qRgb(0xFF, 0x3B, 0x30), qRgb(0xFF, 0x45, 0x3A)};
    case SystemColor::SecondaryLabel: // 0.498 / 0.549
        return {qRgba(0, 0, 0, 127), qRgba(255, 255, 255, 140)};
    case SystemColor::TertiaryLabel: // 0.259 / 0.247
        return {qRgba(0, 0, 0, 66), qRgba(255, 255, 255, 63)};
    case SystemColor::Separator: // 0.098
        return {qRgba(0, 0, 0, 25), qRgba(255, 255, 255, 25)};
    case SystemColor::ControlBackground:
        return {qRgb(0xFF, 0xFF, 0xFF), qRgb(0x1E, 0x1E, 0x1E)};
    }
    return {qRgb(0, 0, 0), qRgb(0xFF, 0xFF, 0xFF)};
}

// Perceived brightness; plain HSL lightness ranks saturated blue text as bright as yellow.
double luma(const QColor& c) {
    return 0.299 * c.redF() + 0.587 * c.greenF() + 0.114 * c.blueF();
}

// Qt 6.4 has no colour scheme hint: a palette whose text is lighter than its window is dark.
bool isDarkPalette(const QPalette& palette) {
    return luma(palette.color(QPalette::Active, QPalette::WindowText)) >
           luma(palette.color(QPalette::Active, QPalette::Window));
}

} // namespace

QColor systemColor(SystemColor color, const QPalette& palette) {
    const Appearances values = appearancesOf(color);
    return QColor::fromRgba(isDarkPalette(palette) ? values.dark : values.light);
}

} // namespace quern
