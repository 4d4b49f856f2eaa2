// What the scan page does with large results, stage by stage, with the time of each stage
// and the process's memory after it (resident now and at its peak). Offscreen; run by hand
// through bench_load.sh, or:
//
//     bench_load scan SCANFILE IMAGE   a scan file of IMAGE: loaded, its folder tree built,
//                                      its largest folder listed in the file table
//     bench_load tree IMAGE            a quick scan of a volume image, its folder tree built,
//                                      the deepest folder's path made; then, for comparison,
//                                      every folder's path built whole as the tree once did
//
// Everything runs in one process, one stage after the other.

#include "core/settings.h"
#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "device/volume_list.h"
#include "engine/scan_session.h"
#include "result/file_list.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_delegate.h"
#include "result/ui/recovery_model.h"
#include "result/ui/tree_model.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>

#include <sys/resource.h>

#include <cstdio>
#include <vector>

namespace {

double resident_mib() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * 4096.0 / 1048576.0 : 0;
}

double peak_mib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

QElapsedTimer clock_now;

void stage(const char* what) {
    std::printf("%-44s %8.3f s   now %7.1f MiB   peak %7.1f MiB\n", what,
                static_cast<double>(clock_now.nsecsElapsed()) / 1e9, resident_mib(), peak_mib());
    std::fflush(stdout);
    clock_now.restart();
}

volume_item_s image_volume(const QString& path) {
    platform::clear_images();
    platform::add_image(path, nullptr);
    disk_open_all();
    volume_item_s v;
    v.device_name = v.volume_name = v.path = QFileInfo(path).canonicalFilePath();
    v.total_bytes = static_cast<std::uint64_t>(QFileInfo(path).size());
    v.partition_number = 0;
    return v;
}

int bench_scan_file(const QString& sav, const QString& image) {
    scan_session_c session;
    stage("start");
    if (session.resume_scan_file(sav, {image_volume(image)}) != 0) {
        std::fprintf(stderr, "the scan file does not load\n");
        return 1;
    }
    stage("scan file loaded (records, metadata)");
    std::unique_ptr<TreeModel> tree = build_tree(session.current(), session.engine_kind());
    if (!tree) {
        std::fprintf(stderr, "nothing listed\n");
        return 1;
    }
    stage("folder tree built");
    const folder_node* largest = nullptr;
    for (const auto& type : tree->root()->children.front()->children) {
        if (!largest || type->own_files > largest->own_files) {
            largest = type.get();
        }
    }
    std::vector<recovery_item_s> file_list;
    fill_file_list(file_list, session.current(), session.engine_kind(), largest->folder_ref);
    stage("largest folder listed");
    MyQTableView table;
    table.setItemDelegate(new recovery_delegate_c(&table));
    table.verticalHeader()->hide();
    recovery_model_c model(&file_list);
    table.setModel(&model);
    table.resize(700, 400);
    table.show();
    QApplication::processEvents();
    stage("shown in the file table");
    std::printf("%zu records, %lld files in the largest folder\n",
                session.raw_engine().records().size(), static_cast<long long>(largest->own_files));
    return 0;
}

int bench_tree(const QString& image) {
    scan_session_c session;
    stage("start");
    // The volume as the volume list shows it (its file system picks the engine).
    const QString wanted = image_volume(image).volume_name;
    enumerate_volumes();
    volume_item_s target;
    for (const volume_item_s& v : volume_list) {
        if (v.partition_number == 0 && v.device_name == wanted) {
            target = v;
        }
    }
    if (session.start(target, false) != 0) {
        std::fprintf(stderr, "no engine reads the image\n");
        return 1;
    }
    session.current()->wait();
    session.on_thread_finished();
    stage("quick scan");
    std::unique_ptr<TreeModel> tree = build_tree(session.current(), session.engine_kind());
    if (!tree) {
        std::fprintf(stderr, "nothing listed\n");
        return 1;
    }
    stage("folder tree built (names and parents)");
    const folder_node* deepest = tree->root();
    int depth = 0;
    while (!deepest->children.empty()) {
        deepest = deepest->children.front().get();
        ++depth;
    }
    const QString path = deepest->path();
    stage("the deepest folder's path");
    std::printf("%d folders deep, a path of %lld characters\n", depth - 1,
                static_cast<long long>(path.size()));
    const std::vector<result_folder_s> whole =
        list_result_folders(session.current(), session.engine_kind(), folder_paths_e::with_paths);
    stage("for comparison: every path built whole");
    qsizetype characters = 0;
    for (const result_folder_s& folder : whole) {
        characters += folder.path.size();
    }
    std::printf("%zu folders, %lld characters of paths\n", whole.size(),
                static_cast<long long>(characters));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    register_result_meta_types();
    clock_now.start();
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("scan")) {
        return bench_scan_file(args[2], args[3]);
    }
    if (args.size() == 3 && args[1] == QLatin1String("tree")) {
        return bench_tree(args[2]);
    }
    std::fprintf(stderr, "usage: bench_load scan SCANFILE IMAGE | bench_load tree IMAGE\n");
    return 2;
}
