#include "result/ui/thumb_loader.h"

#include "engine/restore_sink.h"
#include "result/ui/picture_decode.h"

#include <QPainter>
#include <QRunnable>

#include <algorithm>

namespace {

constexpr int threads = 2;

// Collects a found file's bytes up to a limit; stops the read when the grid no longer wants
// it (the generation moved on).
class memory_sink_c final : public restore_sink_c {
  public:
    memory_sink_c(std::shared_ptr<std::atomic<int>> generation, int mine)
        : generation_(std::move(generation)), mine_(mine) {}

    bool write(const void* data, std::size_t bytes) override {
        if (stop_requested() || bytes > thumb_loader_c::byte_limit - size()) {
            return false;
        }
        bytes_.append(static_cast<const char*>(data), static_cast<qsizetype>(bytes));
        return true;
    }
    bool zeros(std::uint64_t bytes) override {
        if (stop_requested() || bytes > thumb_loader_c::byte_limit - size()) {
            return false;
        }
        bytes_.append(static_cast<qsizetype>(bytes), '\0');
        return true;
    }
    bool stop_requested() const override { return generation_->load() != mine_; }
    std::uint64_t written() const override { return size(); }

    QByteArray bytes_;

  private:
    std::uint64_t size() const { return static_cast<std::uint64_t>(bytes_.size()); }
    std::shared_ptr<std::atomic<int>> generation_;
    int mine_;
};

QString suffix_of(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1).toLower();
}

}  // namespace

thumb_loader_c::thumb_loader_c(read_f read, qsizetype cache_bytes, QObject* parent)
    : QObject(parent),
      read_(std::move(read)),
      cache_(cache_bytes),
      generation_(std::make_shared<std::atomic<int>>(0)) {
    pool_.setMaxThreadCount(threads);
}

thumb_loader_c::~thumb_loader_c() {
    stop();
}

bool thumb_loader_c::is_picture(const QString& name) {
    return !picture_format(suffix_of(name)).isEmpty();
}

QImage thumb_loader_c::decode(const QByteArray& bytes, const QString& suffix, int side) {
    const QByteArray format = picture_format(suffix);
    return format.isEmpty() ? QImage() : decode_picture(bytes, format, side);
}

QImage thumb_loader_c::framed(const QImage& thumbnail, int side) {
    if (thumbnail.isNull()) {
        return {};
    }
    QImage square(side, side, QImage::Format_ARGB32_Premultiplied);
    square.fill(Qt::transparent);
    QPainter painter(&square);
    const QRect place((side - thumbnail.width()) / 2, (side - thumbnail.height()) / 2,
                      thumbnail.width(), thumbnail.height());
    painter.drawImage(place.topLeft(), thumbnail);
    painter.setPen(QColor(0xc8, 0xd6, 0xec));
    painter.drawRect(place.adjusted(0, 0, -1, -1));
    return square;
}

std::uint64_t thumb_loader_c::key_of(const recovery_item_s& item) {
    return static_cast<std::uint64_t>(qHashMulti(0x7468756dU, item.file_key, item.size, item.name));
}

const QImage* thumb_loader_c::find(const recovery_item_s& item) const {
    return cache_.object(key_of(item));
}

void thumb_loader_c::want(const std::vector<recovery_item_s>& items) {
    queue_.clear();
    for (const recovery_item_s& item : items) {
        const std::uint64_t key = key_of(item);
        if (!is_picture(item.name) || cache_.contains(key) || failed_.contains(key) ||
            running_.contains(key)) {
            continue;
        }
        if (item.size == 0 || item.size > byte_limit) {
            failed_.insert(key);  // nothing to show, or more than a thumbnail may read
            emit ready(key);
            continue;
        }
        queue_.push_back(item);
    }
    start_next();
}

void thumb_loader_c::start_next() {
    while (running_count_ < threads && !queue_.empty()) {
        const recovery_item_s item = queue_.front();
        queue_.erase(queue_.begin());
        ++running_count_;
        ++reads_started_;
        running_.insert(key_of(item));
        const int generation = generation_->load();
        auto shared_generation = generation_;
        read_f read = read_;
        pool_.start([this, read, item, generation, shared_generation] {
            memory_sink_c sink(shared_generation, generation);
            QImage image;
            if (read(item, &sink) == 0 && !sink.stop_requested()) {
                // decoded in the picture child, never in this process
                const QByteArray format = picture_format(suffix_of(item.name));
                image = framed(
                    format.isEmpty() ? QImage() : decode_picture_apart(sink.bytes_, format, side),
                    side);
            }
            if (shared_generation->load() != generation) {
                return;  // cleared meanwhile: clear() already forgot this read
            }
            QMetaObject::invokeMethod(
                this,
                [this, generation, item, image] { finished(generation, key_of(item), image); },
                Qt::QueuedConnection);
        });
    }
}

void thumb_loader_c::finished(int generation, std::uint64_t key, const QImage& image) {
    if (generation != generation_->load()) {
        return;
    }
    --running_count_;
    running_.remove(key);
    if (image.isNull()) {
        failed_.insert(key);
    } else {
        cache_.insert(key, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes()));
    }
    emit ready(key);
    start_next();
}

void thumb_loader_c::clear() {
    generation_->fetch_add(1);
    queue_.clear();
    running_.clear();
    running_count_ = 0;
    cache_.clear();
    failed_.clear();
}

void thumb_loader_c::stop() {
    clear();
    pool_.waitForDone();
}
