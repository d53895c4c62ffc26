// Build tool: renders AppIcon.svg at the sizes of a macOS icon set and writes them as one .icns
// (PNG entries, as iconutil writes them), so that the bundle's icon follows the SVG.
//
// usage: quern-make-icns INPUT.svg OUTPUT.icns
#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <array>
#include <cstdint>
#include <cstdio>

namespace {

struct Entry {
    const char* type; // four characters
    int pixels;
};

// 16, 32, 128, 256 and 512 points, each at 1x and 2x.
constexpr std::array<Entry, 10> kEntries = {{{"icp4", 16},
                                             {"ic11", 32},
                                             {"icp5", 32},
                                             {"ic12", 64},
                                             {"ic07", 128},
                                             {"ic13", 256},
                                             {"ic08", 256},
                                             {"ic14", 512},
                                             {"ic09", 512},
                                             {"ic10", 1024}}};

void appendBigEndian(QByteArray& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(static_cast<char>((value >> shift) & 0xFF));
}

QByteArray pngAt(QSvgRenderer& svg, int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter, QRectF(0, 0, pixels, pixels));
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: quern-make-icns INPUT.svg OUTPUT.icns\n", stderr);
        return 2;
    }
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "quern-make-icns: cannot read %s\n", argv[1]);
        return 1;
    }
    QByteArray body;
    for (const Entry& entry : kEntries) {
        const QByteArray png = pngAt(svg, entry.pixels);
        if (png.isEmpty()) {
            std::fputs("quern-make-icns: PNG encoding failed\n", stderr);
            return 1;
        }
        body.append(entry.type, 4);
        appendBigEndian(body, static_cast<std::uint32_t>(png.size() + 8));
        body.append(png);
    }
    QByteArray icns("icns", 4);
    appendBigEndian(icns, static_cast<std::uint32_t>(body.size() + 8));
    icns.append(body);
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(icns) != icns.size()) {
        std::fprintf(stderr, "quern-make-icns: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
