// Draws the updater window's pictures into a directory: the logo, the close button in its three
// states and the window icon. Run by hand when a picture changes; the outputs are committed.
// Shapes only, no text: raster painting needs no application object or display.
#include <QByteArray>
#include <QColor>
#include <QDataStream>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QVector>

#include <cstdio>

namespace {

const QColor kBlue(0x4A, 0x90, 0xE2);
const QColor kDark(0x23, 0x26, 0x2A);
const QColor kDarkEdge(0x33, 0x36, 0x3A);

QImage Transparent(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// The logo on a size x size canvas: a dark rounded square holding a blue disc with a dark "play"
// triangle cut out of it, the sign of a live stream.
QImage Logo(int size) {
    QImage image = Transparent(size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 100.0, size / 100.0);

    painter.setPen(QPen(kDarkEdge, 2));
    painter.setBrush(kDark);
    painter.drawRoundedRect(QRectF(1, 1, 98, 98), 22, 22);

    painter.setPen(Qt::NoPen);
    painter.setBrush(kBlue);
    painter.drawEllipse(QPointF(50, 50), 34, 34);

    QPainterPath triangle;
    triangle.moveTo(42, 33);
    triangle.lineTo(68, 50);
    triangle.lineTo(42, 67);
    triangle.closeSubpath();
    painter.setBrush(kDark);
    painter.drawPath(triangle);
    return image;
}

// The close button, 28 x 28: a thin cross, on a faint disc when hovered or pressed.
QImage CloseButton(const QColor& cross, const QColor& disc) {
    QImage image = Transparent(28);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    if (disc.alpha() > 0) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(disc);
        painter.drawEllipse(QPointF(14, 14), 12, 12);
    }
    painter.setPen(QPen(cross, 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(9.5, 9.5), QPointF(18.5, 18.5));
    painter.drawLine(QPointF(18.5, 9.5), QPointF(9.5, 18.5));
    return image;
}

// Writes the images into one .ico file. Qt's icon plugin writes a single image per file, so the
// container is written here:
//   ICONDIR       u16 reserved 0, u16 type 1 (icon), u16 image count
//   ICONDIRENTRY  per image: u8 width, u8 height, u8 palette size 0, u8 reserved 0, u16 planes 1,
//                 u16 bits per pixel 32, u32 byte size of the image data, u32 offset from file start
//   image data    per image: a 40-byte BITMAPINFOHEADER whose height counts both masks (2 x h),
//                 the BGRA pixels bottom-up, then the 1-bit AND mask bottom-up with rows padded to
//                 4 bytes (bit set = transparent), used only by readers that ignore the alpha.
// All numbers little-endian.
bool WriteIco(const QString& path, const QVector<QImage>& images) {
    QVector<QByteArray> blobs;
    for (const QImage& source : images) {
        const QImage image = source.convertToFormat(QImage::Format_ARGB32);
        const int w = image.width();
        const int h = image.height();
        const int maskStride = ((w + 31) / 32) * 4;
        QByteArray blob;
        QDataStream out(&blob, QIODevice::WriteOnly);
        out.setByteOrder(QDataStream::LittleEndian);
        out << quint32(40) << qint32(w) << qint32(2 * h) << quint16(1) << quint16(32) << quint32(0)
            << quint32(w * h * 4 + maskStride * h) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
        for (int y = h - 1; y >= 0; --y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < w; ++x) {
                out << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]))
                    << quint8(qAlpha(line[x]));
            }
        }
        for (int y = h - 1; y >= 0; --y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            QByteArray row(maskStride, '\0');
            for (int x = 0; x < w; ++x) {
                if (qAlpha(line[x]) == 0) row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
            }
            out.writeRawData(row.constData(), row.size());
        }
        blobs.append(blob);
    }

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * images.size();
    for (int i = 0; i < images.size(); ++i) {
        // Width and height 0 stand for 256.
        out << quint8(images[i].width() & 0xFF) << quint8(images[i].height() & 0xFF) << quint8(0) << quint8(0)
            << quint16(1) << quint16(32) << quint32(blobs[i].size()) << offset;
        offset += blobs[i].size();
    }
    for (const QByteArray& blob : blobs) out.writeRawData(blob.constData(), blob.size());
    return out.status() == QDataStream::Ok && file.flush();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_pictures OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]) + "/";
    bool ok = Logo(100).save(dir + "logo.png");
    ok = CloseButton(QColor(0x9F, 0x9F, 0x9F), Qt::transparent).save(dir + "btn_close_default.png") && ok;
    ok = CloseButton(QColor(0xE7, 0xE7, 0xE7), QColor(255, 255, 255, 28)).save(dir + "btn_close_sespend.png") && ok;
    ok = CloseButton(Qt::white, kBlue).save(dir + "btn_close_click.png") && ok;
    ok = WriteIco(dir + "zeb_app.ico", {Logo(16), Logo(32), Logo(48)}) && ok;
    if (!ok) std::fprintf(stderr, "draw_pictures: could not write every picture into %s\n", argv[1]);
    return ok ? 0 : 1;
}
