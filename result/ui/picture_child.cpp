#include "engine/raw/meta_child.h"
#include "result/ui/picture_decode.h"

#include <array>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// Two children, so that the thumbnail loader's two threads decode at once. Made on first
// use and kept for the run; a child that failed is replaced on the next picture.
struct picture_children_s {
    std::array<std::mutex, 2> locks;
    std::array<std::unique_ptr<meta_child_c>, 2> children;
};

picture_children_s& picture_children() {
    static picture_children_s children;
    return children;
}

}  // namespace

QImage decode_picture_apart(const QByteArray& bytes, const QByteArray& format, int side) {
    picture_children_s& pool = picture_children();
    std::size_t slot = 0;
    std::unique_lock<std::mutex> hold(pool.locks[0], std::try_to_lock);
    if (!hold.owns_lock()) {
        slot = 1;
        hold = std::unique_lock<std::mutex>(pool.locks[1]);
    }
    auto& child = pool.children[slot];
    if (!child) {
        child = std::make_unique<meta_child_c>(true);
    }
    const child_picture_s picture = child->decode_picture(bytes, format, side);
    if (picture.width <= 0 || picture.height <= 0) {
        return {};
    }
    QImage image(picture.width, picture.height, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        return {};
    }
    const qsizetype row = static_cast<qsizetype>(picture.width) * 4;
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(image.scanLine(y), picture.pixels.constData() + row * y,
                    static_cast<std::size_t>(row));
    }
    return picture.alpha ? image : image.convertToFormat(QImage::Format_RGB32);
}
