// Opens a folder of 100,000 found files in the scan page's file table (a new model over the
// list, the view laid out and painted) and sorts it by each column, twice; prints each time
// against the target of 0.2 s. Offscreen; run by hand:
//
//     cmake --build build --target bench_result_table && build/bin/bench_result_table [FILES]

#include "core/settings.h"
#include "result/ui/my_header_view.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_delegate.h"
#include "result/ui/recovery_model.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>

#include <cstdio>
#include <vector>

namespace {

constexpr double target_seconds = 0.2;

void report(const char* what, qint64 nanoseconds) {
    const double seconds = static_cast<double>(nanoseconds) / 1e9;
    std::printf("%-28s %8.4f s   %5.1f%% of the target\n", what, seconds,
                100.0 * seconds / target_seconds);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    register_result_meta_types();
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 100000;
    // Names, sizes and times as a FAT folder of photos and documents might hold them.
    QRandomGenerator random(12345);
    std::vector<recovery_item_s> file_list(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        recovery_item_s& r = file_list[static_cast<std::size_t>(i)];
        r.name = QStringLiteral("%1 photo %2.jpg")
                     .arg(random.bounded(1000000), 6, 10, QLatin1Char('0'))
                     .arg(i);
        r.size = random.bounded(1u << 30);
        r.date1 = 946684800 + random.bounded(700000000);
        r.date2 = 946684800 + random.bounded(700000000);
        r.file_key = static_cast<std::uint64_t>(i) + 2;
    }
    MyQTableView view;
    view.setItemDelegate(new recovery_delegate_c(&view));
    view.setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    view.setSelectionBehavior(QAbstractItemView::SelectRows);
    view.verticalHeader()->hide();
    auto* header = new MyHeaderView(&view);
    view.setHorizontalHeader(header);
    view.resize(700, 400);
    view.show();
    QApplication::processEvents();

    std::printf("%d found files in one folder; target %.1f s each\n", count, target_seconds);
    QElapsedTimer timer;
    timer.start();
    recovery_model_c* model = new recovery_model_c(&file_list, &view);
    view.setModel(model);
    header->resizeSection(0, 33);
    header->resizeSection(1, 235);
    view.viewport()->repaint();
    QApplication::processEvents();
    report("open the folder", timer.nsecsElapsed());

    const char* names[] = {"", "name", "size", "date modified", "date created"};
    qint64 worst = 0;
    for (int column = 1; column <= 4; ++column) {
        for (const char* direction : {"ascending", "descending"}) {
            timer.restart();
            model->sort_by_column(column);
            view.viewport()->repaint();
            QApplication::processEvents();
            const qint64 spent = timer.nsecsElapsed();
            worst = std::max(worst, spent);
            const QByteArray what = QByteArray("sort by ") + names[column] + ", " + direction;
            report(what.constData(), spent);
        }
    }
    std::printf("slowest sort: %.4f s (%s)\n", static_cast<double>(worst) / 1e9,
                static_cast<double>(worst) / 1e9 < target_seconds ? "within the target"
                                                                  : "over the target");
    return 0;
}
