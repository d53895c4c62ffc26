#include "platform/SymbolImages.h"

#include "platform/Desktop.h"

#include <QCoreApplication>
#include <QFile>
#include <QIconEngine>
#include <QImage>
#include <QLibraryInfo>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QSvgRenderer>
#include <QVersionNumber>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The images live in a static library, whose resource initialiser the linker drops unless called.
static void registerImageResources() {
    Q_INIT_RESOURCE(resources);
}

namespace quern {
namespace {

// Qt 6.8 changed what QIconEngine::scaledPixmap receives: the size in device-independent pixels,
// where it used to be in device pixels. Decided by the Qt that runs, not the one built against.
bool scaledPixmapSizeIsDeviceIndependent(const QVersionNumber& qt) {
    return qt >= QVersionNumber(6, 8);
}

constexpr std::string_view kApplicationImage = "AppIcon";

// Names become resource paths; anything beyond this alphabet cannot be one of ours.
bool isPlausibleName(std::string_view name) {
    return !name.empty() && name.size() <= 64 && std::ranges::all_of(name, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '_' || c == '-';
    });
}

QString resourcePath(std::string_view name) {
    static const bool registered = (registerImageResources(), true);
    Q_UNUSED(registered);
    return QStringLiteral(":/icons/") + QString::fromUtf8(name) + QStringLiteral(".svg");
}

// Parsed once per name and shared by every icon showing it.
std::shared_ptr<QSvgRenderer> rendererFor(std::string_view name) {
    using Cache = std::unordered_map<std::string, std::shared_ptr<QSvgRenderer>>;
    static Cache* cache = [] {
        static Cache instance;
        // QSvgRenderer is a QObject: let it go with the application, not at static destruction.
        qAddPostRoutine([] { instance.clear(); });
        return &instance;
    }();
    const std::string key(name);
    if (const auto found = cache->find(key); found != cache->end())
        return found->second;
    auto renderer = std::make_shared<QSvgRenderer>(resourcePath(name));
    if (!renderer->isValid())
        return nullptr;
    cache->emplace(key, renderer);
    return renderer;
}

struct Tint {
    QColor ink;
    std::optional<QColor> halo; // a ring around the glyph, for backgrounds we cannot know
};

// Symbols are drawn in black; white marks cut-outs (a glyph inside a disc, a gap around an overlap).
// What remains is coverage, which is then painted in the wanted colour.
std::vector<float> coverageOf(const QImage& drawn) {
    std::vector<float> coverage(static_cast<std::size_t>(drawn.width()) * drawn.height());
    for (int y = 0; y < drawn.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
        for (int x = 0; x < drawn.width(); ++x) {
            // Premultiplied: black at alpha a is (a,0,0,0), white is (a,a,a,a).
            const int ink = qAlpha(line[x]) - qGreen(line[x]);
            coverage[static_cast<std::size_t>(y) * drawn.width() + x] = std::max(0, ink) / 255.0F;
        }
    }
    return coverage;
}

// Grows coverage by `radius` pixels, softened at the rim, for the ring around tray glyphs.
std::vector<float> dilated(const std::vector<float>& coverage, int width, int height, int radius) {
    std::vector<float> out(coverage.size(), 0.0F);
    const float reach = static_cast<float>(radius) + 1.0F;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            float best = 0.0F;
            for (int dy = -radius; dy <= radius; ++dy) {
                for (int dx = -radius; dx <= radius; ++dx) {
                    const int sx = x + dx;
                    const int sy = y + dy;
                    if (sx < 0 || sy < 0 || sx >= width || sy >= height)
                        continue;
                    const float distance = std::hypot(static_cast<float>(dx), static_cast<float>(dy));
                    const float falloff = std::clamp(reach - distance, 0.0F, 1.0F);
                    best = std::max(best, coverage[static_cast<std::size_t>(sy) * width + sx] * falloff);
                }
            }
            out[static_cast<std::size_t>(y) * width + x] = best;
        }
    }
    return out;
}

// Wide enough to part the glyph from a panel of its own colour, even at 16 pixels.
int ringWidth(int side) {
    return std::max(1, static_cast<int>(std::lround(side / 18.0)));
}

QRgb premultiplied(const QColor& color, float coverage) {
    const float a = static_cast<float>(color.alphaF()) * coverage;
    const auto channel = [a](float value) { return static_cast<int>(std::lround(value * a * 255.0F)); };
    return qRgba(channel(static_cast<float>(color.redF())), channel(static_cast<float>(color.greenF())),
                 channel(static_cast<float>(color.blueF())), channel(1.0F));
}

class SymbolEngine final : public QIconEngine {
public:
    SymbolEngine(std::shared_ptr<QSvgRenderer> svg, QString name, std::optional<Tint> tint)
        : svg_(std::move(svg))
        , name_(std::move(name))
        , tint_(std::move(tint)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const qreal dpr = painter->device() != nullptr ? painter->device()->devicePixelRatio() : 1.0;
        QPixmap image = render(rect.size() * dpr, mode);
        image.setDevicePixelRatio(dpr);
        painter->drawPixmap(rect, image);
    }

    // Scalable: any size asked for is a size we have.
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override { return render(size, mode); }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        // The Qt that runs decides, not the one built against: Qt may be upgraded under this build.
        static const bool deviceIndependent = scaledPixmapSizeIsDeviceIndependent(QLibraryInfo::version());
        if (!deviceIndependent)
            return render(size, mode); // in device pixels already; QIcon sets the ratio
        // Every device pixel drawn, or a Retina screen gets a 1x image scaled up.
        QPixmap image = render(size * scale, mode);
        image.setDevicePixelRatio(scale);
        return image;
    }

    // No iconName(): a status notifier host would look that up in the desktop's icon theme.
    QString key() const override { return QStringLiteral("quern.symbol"); }
    bool isNull() override { return false; }
    QIconEngine* clone() const override { return new SymbolEngine(*this); }

private:
    QPixmap render(const QSize& size, QIcon::Mode mode) const {
        if (size.isEmpty())
            return {};
        const QString cacheKey = QStringLiteral("quern.symbol/%1/%2x%3/%4/%5/%6")
                                     .arg(name_)
                                     .arg(size.width())
                                     .arg(size.height())
                                     .arg(int(mode))
                                     .arg(tint_ ? tint_->ink.rgba() : 0U)
                                     .arg(tint_ && tint_->halo ? tint_->halo->rgba() : 0U);
        QPixmap cached;
        if (QPixmapCache::find(cacheKey, &cached))
            return cached;

        const int side = std::min(size.width(), size.height());
        const int ring = tint_ && tint_->halo ? ringWidth(side) : 0;
        QRectF glyph((size.width() - side) / 2.0, (size.height() - side) / 2.0, side, side);
        glyph.adjust(ring, ring, -ring, -ring); // keep the ring inside the image

        QImage drawn(size, QImage::Format_ARGB32_Premultiplied);
        drawn.fill(Qt::transparent);
        {
            QPainter painter(&drawn);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            svg_->render(&painter, glyph);
        }
        if (tint_)
            drawn = tinted(drawn, mode);
        else if (mode == QIcon::Disabled)
            drawn = faded(drawn);

        QPixmap result = QPixmap::fromImage(std::move(drawn));
        QPixmapCache::insert(cacheKey, result);
        return result;
    }

    QImage tinted(const QImage& drawn, QIcon::Mode mode) const {
        const int width = drawn.width();
        const int height = drawn.height();
        const std::vector<float> ink = coverageOf(drawn);
        QColor inkColor = tint_->ink;
        std::optional<QColor> haloColor = tint_->halo;
        if (mode == QIcon::Disabled) {
            inkColor.setAlphaF(inkColor.alphaF() * kDisabledOpacity);
            if (haloColor)
                haloColor->setAlphaF(haloColor->alphaF() * kDisabledOpacity);
        }
        std::vector<float> halo;
        if (haloColor) {
            halo = dilated(ink, width, height, ringWidth(std::min(width, height)));
        }

        QImage out(drawn.size(), QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < height; ++y) {
            auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
            for (int x = 0; x < width; ++x) {
                const auto i = static_cast<std::size_t>(y) * width + x;
                const QRgb top = premultiplied(inkColor, ink[i]);
                if (halo.empty()) {
                    line[x] = top;
                    continue;
                }
                const QRgb under = premultiplied(*haloColor, halo[i]);
                const int keep = 255 - qAlpha(top); // source-over
                const auto over = [keep](int t, int u) { return t + (u * keep + 127) / 255; };
                line[x] = qRgba(over(qRed(top), qRed(under)), over(qGreen(top), qGreen(under)),
                                over(qBlue(top), qBlue(under)), over(qAlpha(top), qAlpha(under)));
            }
        }
        return out;
    }

    static QImage faded(const QImage& drawn) {
        QImage out(drawn.size(), QImage::Format_ARGB32_Premultiplied);
        out.fill(Qt::transparent);
        QPainter painter(&out);
        painter.setOpacity(kDisabledOpacity);
        painter.drawImage(0, 0, drawn);
        return out;
    }

    static constexpr double kDisabledOpacity = 0.4; // about where AppKit dims a disabled control's image

    std::shared_ptr<QSvgRenderer> svg_;
    QString name_;
    std::optional<Tint> tint_;
};

QIcon iconFor(std::string_view name, std::optional<Tint> tint) {
    auto renderer = rendererFor(name);
    if (!renderer)
        return {};
    return QIcon(new SymbolEngine(std::move(renderer), QString::fromUtf8(name), std::move(tint)));
}

bool hasSymbol(std::string_view name) {
    return isPlausibleName(name) && name != kApplicationImage && QFile::exists(resourcePath(name));
}

} // namespace

QIcon symbolImage(std::string_view name, const QColor& color) {
    if (!hasSymbol(name))
        return {};
    return iconFor(name, Tint{color, std::nullopt});
}

QIcon applicationImage() {
    if (!QFile::exists(resourcePath(kApplicationImage)))
        return {};
    return iconFor(kApplicationImage, std::nullopt);
}

QIcon trayImage(std::string_view name, const QPalette& palette) {
    if (!hasSymbol(name))
        return {};
    if (Desktop::instance().trayImageIsTemplate()) {
        QIcon icon = iconFor(name, Tint{Qt::black, std::nullopt});
        icon.setIsMask(true);
        return icon;
    }
    const QColor ink = palette.color(QPalette::Active, QPalette::WindowText);
    QColor ring = palette.color(QPalette::Active, QPalette::Window);
    ring.setAlphaF(0.9);
    return iconFor(name, Tint{ink, ring});
}

} // namespace quern
