// Scrolls the scan page's grid of thumbnails through 10,000 found pictures (each a real
// 1600 x 1200 JPEG, handed over as a restore would write it) and prints, measured in this one
// run: the time to lay the grid out, each scroll step's time to paint (mean, 95th
// percentile, worst, and how many missed a 60 Hz frame of 16.7 ms), how many pictures were
// decoded against how many the list holds, and how long the pictures in sight take to show
// after the scrolling stops. Offscreen; run by hand:
//
//     cmake --build build --target bench_thumb_grid && build/bin/bench_thumb_grid [FILES]

#include "engine/restore_sink.h"
#include "result/ui/thumb_loader.h"
#include "result/ui/thumb_model.h"
#include "result/ui/thumb_view.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace {

constexpr double frame_ms = 1000.0 / 60.0;

QByteArray camera_jpeg() {
    QImage picture(1600, 1200, QImage::Format_RGB32);
    QPainter painter(&picture);
    for (int band = 0; band < 40; ++band) {
        painter.fillRect(0, band * 30, 1600, 30, QColor::fromHsv(band * 9 % 360, 160, 220));
    }
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPEG", 90);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10000;
    const QByteArray jpeg = camera_jpeg();
    std::atomic<int> reads{0};
    thumb_loader_c loader([&](const recovery_item_s&, restore_sink_c* sink) {
        reads.fetch_add(1);
        return sink->write(jpeg.constData(), static_cast<std::size_t>(jpeg.size())) ? 0 : -1;
    });
    std::vector<recovery_item_s> items(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        items[static_cast<std::size_t>(i)].name =
            QStringLiteral("%1.jpg").arg(i, 8, 10, QChar('0'));
        items[static_cast<std::size_t>(i)].size = static_cast<std::uint64_t>(jpeg.size());
        items[static_cast<std::size_t>(i)].file_key = static_cast<std::uint64_t>(i);
    }
    thumb_model_c model(&items, &loader);
    thumb_view_c view;
    view.resize(1000, 700);
    QElapsedTimer clock;
    clock.start();
    view.set_thumb_model(&model);
    view.show();
    view.repaint();
    const double layout_ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;

    // Wheel steps of three lines, painted at once, the thumbnails made meanwhile.
    QScrollBar* bar = view.verticalScrollBar();
    std::vector<double> steps;
    for (int value = 0; value <= bar->maximum(); value += 3 * bar->singleStep() + 60) {
        clock.restart();
        bar->setValue(value);
        view.viewport()->repaint();
        QCoreApplication::processEvents();
        steps.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    const int read_while_scrolling = reads.load();
    clock.restart();
    view.request_now();
    while (!loader.idle()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    const double settle_ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    const std::size_t in_sight = view.rows_in_sight().size();

    // Slow scrolling back up: a pause after every step, long enough for its thumbnails, so
    // that the steps paint thumbnails rather than type signs.
    std::vector<double> slow;
    const int reads_before_slow = reads.load();
    for (int value = bar->value(), n = 0; value > 0 && n < 60;
         value -= 3 * bar->singleStep() + 60, ++n) {
        bar->setValue(value);
        view.request_now();
        while (!loader.idle()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        clock.restart();
        view.viewport()->repaint();
        slow.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(slow.begin(), slow.end());

    std::sort(steps.begin(), steps.end());
    double sum = 0;
    for (const double s : steps) {
        sum += s;
    }
    const auto missed =
        std::count_if(steps.begin(), steps.end(), [](double s) { return s > frame_ms; });
    std::printf("pictures                    %d (JPEG 1600 x 1200, %lld bytes)\n", count,
                static_cast<long long>(jpeg.size()));
    std::printf("grid laid out and painted   %8.2f ms\n", layout_ms);
    std::printf("scroll steps                %zu\n", steps.size());
    std::printf("  paint per step, mean      %8.2f ms   %5.1f%% of a 60 Hz frame\n",
                sum / static_cast<double>(steps.size()),
                100.0 * sum / static_cast<double>(steps.size()) / frame_ms);
    std::printf("  95th percentile           %8.2f ms\n", steps[steps.size() * 95 / 100]);
    std::printf("  worst                     %8.2f ms\n", steps.back());
    std::printf("  steps over one frame      %lld of %zu\n", static_cast<long long>(missed),
                steps.size());
    std::printf("decoded while scrolling     %d of %d pictures (%.2f%%)\n", read_while_scrolling,
                count, 100.0 * read_while_scrolling / count);
    std::printf("%zu in sight shown after    %8.2f ms\n", in_sight, settle_ms);
    std::printf("slow steps, thumbnails made %zu (%d pictures decoded)\n", slow.size(),
                reads.load() - reads_before_slow);
    std::printf("  paint per step, median    %8.2f ms   worst %.2f ms\n", slow[slow.size() / 2],
                slow.back());
    std::printf("cache                       %lld KiB\n",
                static_cast<long long>(loader.cache_bytes() / 1024));
    return 0;
}
