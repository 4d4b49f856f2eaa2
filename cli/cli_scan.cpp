// orvane scan and orvane restore: pick the volume, run the engine the program would run,
// list or restore what it found.
#include "cli_commands.h"
#include "cli_setup.h"

#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "device/volume_list.h"
#include "engine/engine_choice.h"
#include "engine/restore_names.h"
#include "engine/scan_session.h"
#include "result/file_list.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace {

volatile std::sig_atomic_t interrupted = 0;

void on_interrupt(int) {
    interrupted = 1;
}

void catch_interrupt() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// One found entry as the tool prints it: a folder of the result tree or a file of one.
struct found_entry_s {
    QString folder;  // '/'-separated path of the folder that holds it, "/" for the top
    QString path;    // folder and name, as the tree shows it
    recovery_item_s item;
    bool directory = false;
};

QString join_path(const QString& folder, const QString& name) {
    return folder == QLatin1String("/") ? folder + name : folder + QLatin1Char('/') + name;
}

// The folders that hold files, and the files: what the result tree and table show, in path
// order.
std::vector<found_entry_s> found_entries(const scan_session_c& session) {
    std::vector<found_entry_s> entries;
    const recovery_base_c* engine = session.current();
    const engine_kind_e kind = session.engine_kind();
    std::vector<recovery_item_s> file_list;
    for (const result_folder_s& folder : list_result_folders(engine, kind)) {
        if (folder.path != QLatin1String("/")) {
            const int cut = folder.path.lastIndexOf(QLatin1Char('/'));
            entries.push_back({cut > 0 ? folder.path.left(cut) : QStringLiteral("/"), folder.path,
                               folder.item, true});
        }
        fill_file_list(file_list, engine, kind, folder.ref);
        for (const recovery_item_s& item : file_list) {
            entries.push_back({folder.path, join_path(folder.path, item.name), item, false});
        }
    }
    std::sort(entries.begin(), entries.end(), [](const found_entry_s& a, const found_entry_s& b) {
        return a.path != b.path ? a.path < b.path : a.item.file_key < b.item.file_key;
    });
    return entries;
}

// Finds the volume TARGET names; prints why not and returns false.
bool resolve_target(const cli_options_s& options, volume_item_s* target) {
    if (!add_cli_images(options)) {
        return false;
    }
    const QString wanted = options.positional.first();
    enumerate_volumes();
    const QString canonical = platform::canonical_volume_name(wanted);
    for (std::size_t r = 1; r < volume_list.size(); ++r) {
        const volume_item_s& v = volume_list[r];
        if (options.partition < 0 && (v.device_name == wanted || v.volume_name == wanted ||
                                      v.path == wanted || v.device_name == canonical)) {
            *target = v;
            return true;
        }
    }
    QFileInfo file(wanted);
    if (!file.exists()) {
        print_error(
            QStringLiteral("no volume or image named '%1' (see 'orvane volumes')").arg(wanted));
        return false;
    }
    QString error;
    if (!platform::add_image(wanted, &error)) {
        print_error(error);
        return false;
    }
    enumerate_volumes();
    const QString image = file.canonicalFilePath();
    std::vector<volume_item_s> on_image;
    for (std::size_t r = 1; r < volume_list.size(); ++r) {
        const volume_item_s& v = volume_list[r];
        if (v.device_name == image || v.device_name.startsWith(image + QLatin1Char('#'))) {
            on_image.push_back(v);
        }
    }
    for (const QString& warning : volume_warnings) {
        if (warning.startsWith(image)) {
            print_error(warning);
        }
    }
    if (options.partition >= 0) {
        for (const volume_item_s& v : on_image) {
            if (v.partition_number == options.partition) {
                *target = v;
                return true;
            }
        }
        print_error(QStringLiteral("'%1' has no partition %2").arg(wanted).arg(options.partition));
        return false;
    }
    if (on_image.size() == 1) {
        *target = on_image.front();
        return true;
    }
    if (on_image.empty()) {
        print_error(QStringLiteral("'%1' holds no volume that can be read").arg(wanted));
        return false;
    }
    QStringList numbers;
    for (const volume_item_s& v : on_image) {
        numbers << QStringLiteral("%1 (%2)")
                       .arg(v.partition_number)
                       .arg(v.file_system.isEmpty() ? QStringLiteral("unknown") : v.file_system);
    }
    print_error(QStringLiteral("'%1' holds several volumes; pick one with --partition: %2")
                    .arg(wanted, numbers.join(QStringLiteral(", "))));
    return false;
}

QString date_text(std::int64_t seconds) {
    return seconds == 0 ? QStringLiteral("-")
                        : QDateTime::fromSecsSinceEpoch(seconds).toString(
                              QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// Runs a scan of the target to its end (or to Ctrl-C). Returns exit_ok when there are
// results to show, else the exit code after printing why: a volume no engine reads is a
// usage error, a volume that could not be read is a failure.
int run_scan(const cli_options_s& options, const volume_item_s& target, scan_session_c* session) {
    switch (choose_engine(target, options.deep)) {
        case engine_fat:
            break;
        case engine_signature:
            print_error(QStringLiteral("deep scan is not available in this version"));
            return exit_usage;
        case engine_ntfs:
            print_error(QStringLiteral(
                            "NTFS quick scan is not available in this version; its volume is '%1'")
                            .arg(target.device_name));
            return exit_usage;
        case engine_none:
            print_error(
                QStringLiteral(
                    "a quick scan reads FAT and NTFS volumes only; '%1' holds %2 (try --deep)")
                    .arg(target.device_name, target.file_system.isEmpty()
                                                 ? QStringLiteral("no known file system")
                                                 : target.file_system));
            return exit_usage;
    }
    disk_open_all();
    catch_interrupt();
    if (session->start(target, options.deep) != 0) {
        print_error(QStringLiteral("the scan of '%1' could not start").arg(target.device_name));
        return exit_usage;
    }
    recovery_base_c* engine = session->current();
    const bool show_progress = ::isatty(STDERR_FILENO);
    while (!engine->wait(200)) {
        if (interrupted && engine->get_stop() == 0) {
            session->stop();
        }
        if (show_progress) {
            std::fprintf(stderr, "\rscanning: %3d%%  %lld entries read, %lld found ",
                         static_cast<int>(engine->get_progress() * 100),
                         static_cast<long long>(engine->get_read_count()),
                         static_cast<long long>(engine->get_found_count()));
        }
    }
    if (show_progress) {
        std::fputs("\r\033[K", stderr);
    }
    session->on_thread_finished();
    const QString failure = engine->get_error_text();
    if (!failure.isEmpty()) {
        print_error(QStringLiteral("cannot read '%1': %2").arg(target.device_name, failure));
        return exit_failed;
    }
    if (engine->get_stop() == stop_keep) {
        print_error(QStringLiteral("scan stopped; showing what was found so far"));
    }
    return session->has_results() ? exit_ok : exit_failed;
}

}  // namespace

int command_scan(const cli_options_s& options) {
    volume_item_s target;
    if (!resolve_target(options, &target)) {
        return exit_usage;
    }
    scan_session_c session;
    if (const int code = run_scan(options, target, &session); code != exit_ok) {
        return code;
    }
    recovery_base_c* engine = session.current();
    const auto entries = found_entries(session);
    QList<QStringList> rows{{QStringLiteral("PATH"), QStringLiteral("SIZE"),
                             QStringLiteral("MODIFIED"), QStringLiteral("CREATED"),
                             QStringLiteral("KEY"), QStringLiteral("ATTR"), QStringLiteral("STATE"),
                             QStringLiteral("OVERWRITTEN")}};
    for (const found_entry_s& e : entries) {
        const recovery_item_s& item = e.item;
        const bool deleted = record_is_deleted(session.engine_kind(), item);
        if (options.json) {
            print_json({{QStringLiteral("path"), e.path},
                        {QStringLiteral("name"), item.name},
                        {QStringLiteral("size"), static_cast<qint64>(item.size)},
                        {QStringLiteral("date1"), static_cast<qint64>(item.date1)},
                        {QStringLiteral("date2"), static_cast<qint64>(item.date2)},
                        {QStringLiteral("key"), static_cast<qint64>(item.file_key)},
                        {QStringLiteral("attributes"), static_cast<qint64>(item.attributes)},
                        {QStringLiteral("deleted"), deleted},
                        {QStringLiteral("overwritten"), item.overwritten},
                        {QStringLiteral("dir"), e.directory}});
        } else {
            rows << QStringList{
                e.path + (e.directory ? QStringLiteral("/") : QString()),
                e.directory ? QStringLiteral("-") : QString::number(item.size),
                date_text(item.date1),
                date_text(item.date2),
                QString::number(item.file_key),
                QStringLiteral("0x%1").arg(static_cast<std::uint32_t>(item.attributes), 2, 16,
                                           QLatin1Char('0')),
                deleted ? QStringLiteral("deleted") : QStringLiteral("live"),
                e.directory        ? QStringLiteral("-")
                : item.overwritten ? QStringLiteral("possibly")
                                   : QStringLiteral("no")};
        }
    }
    if (!options.json) {
        print_table(rows);
        std::fflush(stdout);  // the table before the summary when both go to one terminal or file
        std::fprintf(stderr, "%lld entries read, %zu listed\n",
                     static_cast<long long>(engine->get_read_count()), entries.size());
    }
    return exit_ok;
}

int command_restore(const cli_options_s& options) {
    volume_item_s target;
    if (!resolve_target(options, &target)) {
        return exit_usage;
    }
    const QString destination = QDir(options.destination).absolutePath();
    // Checked before anything is created: a new folder on the scanned volume could take the
    // very entries and clusters that are to be recovered.
    if (platform::folder_on_volume(destination, target.device_name)) {
        print_error(
            QStringLiteral("'%1' lies on the volume being recovered; restore to another disk")
                .arg(destination));
        return exit_usage;
    }
    if (!QDir().mkpath(destination)) {
        print_error(QStringLiteral("cannot create the folder '%1'").arg(destination));
        return exit_usage;
    }
    scan_session_c session;
    if (const int code = run_scan(options, target, &session); code != exit_ok) {
        return code;
    }
    recovery_base_c* engine = session.current();
    QRegularExpression match;
    if (!options.match.isEmpty()) {
        // FAT and NTFS names are found whatever their case, so they are matched that way too
        match = QRegularExpression(QRegularExpression::wildcardToRegularExpression(options.match),
                                   QRegularExpression::CaseInsensitiveOption);
    }
    std::vector<found_entry_s> files;
    for (const found_entry_s& e : found_entries(session)) {
        if (e.directory) {
            continue;
        }
        if (!options.match.isEmpty() && !match.match(e.path).hasMatch() &&
            !match.match(e.item.name).hasMatch()) {
            continue;
        }
        if (options.skip_overwritten && e.item.overwritten) {
            continue;
        }
        files.push_back(e);
    }
    const bool show_progress = ::isatty(STDERR_FILENO);
    QSet<QString> used;
    QSet<QString> made_folders;
    int restored = 0;
    int failed = 0;
    int overwritten = 0;  // restored, but possibly with other files' data
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (interrupted) {
            print_error(QStringLiteral("restore interrupted"));
            break;
        }
        const found_entry_s& e = files[i];
        QString folder = destination;
        for (const QString& part : e.folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            folder += QLatin1Char('/') + safe_file_name(part);
        }
        if (show_progress) {
            std::fprintf(stderr, "\rrestoring %zu of %zu ", i + 1, files.size());
        }
        if (!made_folders.contains(folder) && !QDir().mkpath(folder)) {
            print_error(QStringLiteral("cannot create the folder '%1'").arg(folder));
            ++failed;
            continue;
        }
        made_folders.insert(folder);
        const QString path = unique_path(folder, e.item.name, &used);
        if (engine->restore_file(e.item.file_key, path) == 0) {
            ++restored;
            if (e.item.overwritten || engine->last_restore_overwritten()) {
                ++overwritten;
            }
        } else {
            const QString why = engine->get_error_text();
            print_error(
                why.isEmpty()
                    ? QStringLiteral("could not restore '%1' completely to '%2'").arg(e.path, path)
                    : QStringLiteral("could not restore '%1': %2").arg(e.path, why));
            ++failed;
        }
    }
    if (show_progress) {
        std::fputs("\r\033[K", stderr);
    }
    std::printf("restored %d of %zu files, %d failed, %d possibly overwritten\n", restored,
                files.size(), failed, overwritten);
    return restored == static_cast<int>(files.size()) ? exit_ok : exit_failed;
}
