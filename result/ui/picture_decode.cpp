#include "result/ui/picture_decode.h"

#include <QBuffer>
#include <QImageReader>
#include <QSet>

namespace {

constexpr int allocation_limit_mb = 128;  // one decoded picture, before it is scaled

bool vector_format(const QByteArray& format) {
    return format == "svg" || format == "svgz" || format == "pdf";
}

}  // namespace

QByteArray picture_format(const QString& suffix) {
    static const QSet<QByteArray> formats = [] {
        QSet<QByteArray> all;
        for (const QByteArray& format : QImageReader::supportedImageFormats()) {
            if (!vector_format(format.toLower())) {
                all.insert(format.toLower());
            }
        }
        return all;
    }();
    QByteArray format = suffix.toLower().toLatin1();
    if (format == "jpg" || format == "jpe") {
        format = "jpeg";
    } else if (format == "tif") {
        format = "tiff";
    }
    return formats.contains(format) ? format : QByteArray();
}

QImage decode_picture(const QByteArray& bytes, const QByteArray& format, int side) {
    if (bytes.isEmpty() || side <= 0 || vector_format(format)) {
        return {};
    }
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly)) {
        return {};
    }
    QImageReader reader(&buffer, format);
    reader.setDecideFormatFromContent(format.isEmpty());
    reader.setAllocationLimit(allocation_limit_mb);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    const QByteArray read_as = reader.format().toLower();
    if (!size.isValid() || size.isEmpty() || vector_format(read_as)) {
        return {};
    }
    QSize target = size;
    if (target.width() > side || target.height() > side) {
        target = size.scaled(side, side, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    }
    // JPEG decodes straight to a fraction of its size; the others decode whole and are
    // scaled after, so their claimed size must fit the allocation limit (checked here,
    // before any pixel is read, whatever the format's reader checks itself).
    if (read_as != "jpeg" && static_cast<qint64>(size.width()) * size.height() * 4 >
                                 static_cast<qint64>(allocation_limit_mb) << 20) {
        return {};
    }
    if (reader.supportsOption(QImageIOHandler::ScaledSize)) {
        reader.setScaledSize(target);
    }
    QImage image = reader.read();
    if (image.isNull()) {
        return {};
    }
    if (image.width() > side || image.height() > side) {
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
}
