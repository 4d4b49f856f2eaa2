// orvane scan and orvane restore: pick the volume, run the engine the program would run,
// list or restore what it found.
#include "cli_commands.h"
#include "cli_setup.h"

#include "device/disk_table.h"
#include "device/platform/platform_device.h"
#include "device/platform/safe_file.h"
#include "device/volume_list.h"
#include "engine/engine_choice.h"
#include "engine/raw/scan_checkpoint.h"
#include "engine/raw/sigscan.h"
#include "engine/restore_writer.h"
#include "engine/scan_session.h"
#include "result/file_list.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>

#include <pwd.h>
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
    const QString& path;  // '/'-separated, as the tree shows it
    const recovery_item_s& item;
    bool directory;
    std::size_t folder;  // the folder that holds the file, or the folder itself
};

// Visits every found folder and file in path order: depth first, the entries of each folder
// (files and sub-folders) by name. Only the current path is held, so folders nested
// thousands deep cost no more than the entries themselves. visit returns false to stop.
void walk_results(const scan_session_c& session, const std::vector<result_folder_s>& folders,
                  const std::function<bool(const found_entry_s&)>& visit) {
    if (folders.empty()) {
        return;
    }
    std::vector<std::vector<std::size_t>> below(folders.size());
    for (std::size_t i = 1; i < folders.size(); ++i) {
        if (folders[i].parent >= 0) {
            below[static_cast<std::size_t>(folders[i].parent)].push_back(i);
        }
    }
    // One entry of a folder: a file (folder == npos) or a sub-folder.
    struct item_s {
        recovery_item_s item;
        std::size_t folder;
    };
    struct frame_s {
        std::size_t folder;
        qsizetype path_length;  // of the folder's path, "" for the top
        std::vector<item_s> items;
        std::size_t next = 0;
    };
    constexpr std::size_t no_folder = ~std::size_t{0};
    const auto before_item = [](const recovery_item_s& a, const recovery_item_s& b) {
        return a.name != b.name ? a.name < b.name : a.file_key < b.file_key;
    };
    const auto frame_for = [&](std::size_t folder, qsizetype length) {
        frame_s frame{folder, length, {}, 0};
        std::vector<recovery_item_s> files;
        fill_file_list(files, session.current(), session.engine_kind(), folders[folder].ref);
        frame.items.reserve(files.size() + below[folder].size());
        for (recovery_item_s& file : files) {
            frame.items.push_back({std::move(file), no_folder});
        }
        for (const std::size_t child : below[folder]) {
            frame.items.push_back({folders[child].item, child});
        }
        const auto before = [&](const item_s& a, const item_s& b) {
            return before_item(a.item, b.item);
        };
        // Engines often list in name order already (a deep scan's numbered names always).
        if (!std::is_sorted(frame.items.begin(), frame.items.end(), before)) {
            std::sort(frame.items.begin(), frame.items.end(), before);
        }
        return frame;
    };
    // A folder without sub-folders whose files come in path order already (a deep scan's
    // numbered files always do) is walked straight from the engine, keeping one file at a
    // time: a million files of one type cost no list. True when walked; *go is false when
    // visit asked to stop.
    QString path;
    const auto stream_leaf = [&](std::size_t folder, qsizetype length, bool* go) {
        if (!below[folder].empty()) {
            return false;
        }
        bool sorted = true;
        bool first = true;
        recovery_item_s last;
        visit_file_list(session.current(), session.engine_kind(), folders[folder].ref,
                        [&](recovery_item_s&& item) {
                            if (sorted && !first && before_item(item, last)) {
                                sorted = false;
                            }
                            first = false;
                            last = std::move(item);
                        });
        if (!sorted) {
            return false;
        }
        visit_file_list(session.current(), session.engine_kind(), folders[folder].ref,
                        [&](recovery_item_s&& item) {
                            if (*go) {
                                path.truncate(length);
                                path += QLatin1Char('/') + item.name;
                                *go = visit({path, item, false, folder});
                            }
                        });
        return true;
    };
    std::vector<frame_s> stack;
    bool go = true;
    if (stream_leaf(0, 0, &go)) {
        return;
    }
    stack.push_back(frame_for(0, 0));
    while (!stack.empty()) {
        frame_s& frame = stack.back();
        if (frame.next >= frame.items.size()) {
            stack.pop_back();
            continue;
        }
        const item_s& entry = frame.items[frame.next++];
        path.truncate(frame.path_length);
        path += QLatin1Char('/') + entry.item.name;
        const bool directory = entry.folder != no_folder;
        if (!visit({path, entry.item, directory, directory ? entry.folder : frame.folder})) {
            return;
        }
        if (directory) {
            const qsizetype length = path.size();
            if (stream_leaf(entry.folder, length, &go)) {
                if (!go) {
                    return;
                }
                continue;
            }
            stack.push_back(frame_for(entry.folder, length));
        }
    }
}

// A whole image file or device as the target of a deep scan.
volume_item_s whole_image(const QString& path) {
    volume_item_s v;
    v.device_name = v.volume_name = v.path = path;
    v.partition_number = 0;
    platform::drive_geometry_s geometry;
    if (platform::query_geometry({path, platform::drive_kind_e::image}, &geometry)) {
        v.total_bytes = geometry.byte_size;
    }
    return v;
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
        // A deep scan reads an image without a file system as a whole: not worth a warning.
        if (warning.startsWith(image) &&
            !(options.deep &&
              warning.endsWith(QLatin1String("no partition table or file system recognised")))) {
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
    if (options.deep) {
        // No single volume: the deep scan reads the whole image, partition table and all.
        *target = whole_image(image);
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
    if (seconds == 0) {
        return QStringLiteral("-");
    }
    // localtime_r reads the time zone once per process; Qt's local time looks at
    // /etc/localtime again for every date, half of a long listing's time.
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm calendar{};
    char buffer[48];
    if (!localtime_r(&t, &calendar) ||
        std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &calendar) == 0) {
        return QStringLiteral("-");
    }
    return QString::fromLatin1(buffer);
}

// One progress line of a deep scan: share done, speed and time left, files found.
void print_deep_progress(raw_recovery_c& engine, std::uint64_t total_bytes, qint64 elapsed_ms) {
    const double done = engine.get_progress();
    const double bytes = done * static_cast<double>(total_bytes);
    const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
    QString speed = QStringLiteral("-");
    QString left = QStringLiteral("-");
    if (seconds > 0.5 && bytes > 0) {
        speed = QStringLiteral("%1 MB/s").arg(bytes / seconds / 1e6, 0, 'f', 1);
        const auto remaining = static_cast<qint64>(seconds * (1.0 - done) / done);
        left = QStringLiteral("%1:%2 left")
                   .arg(remaining / 60)
                   .arg(remaining % 60, 2, 10, QLatin1Char('0'));
    }
    std::fprintf(stderr, "\rdeep scan: %3d%%  %s  %s  %lld files found \033[K",
                 static_cast<int>(done * 100), qPrintable(speed), qPrintable(left),
                 static_cast<long long>(engine.found_so_far()));
}

// Runs a scan of the target to its end (or to Ctrl-C). Returns exit_ok when there are
// results to show, else the exit code after printing why: a volume no engine reads is a
// usage error, a volume that could not be read is a failure.
int run_scan(const cli_options_s& options, const volume_item_s& target, scan_session_c* session) {
    // From here on Ctrl-C or SIGTERM stops the scan (keeping what it found), however early.
    catch_interrupt();
    switch (choose_engine(target, options.deep)) {
        case engine_fat:
        case engine_ntfs:
        case engine_exfat:
        case engine_ext4:
            break;
        case engine_signature:
            break;
        case engine_none:
            print_error(QStringLiteral(
                            "a quick scan reads FAT, exFAT, NTFS and ext2/3/4 volumes only; '%1' "
                            "holds %2 (try --deep)")
                            .arg(target.device_name, target.file_system.isEmpty()
                                                         ? QStringLiteral("no known file system")
                                                         : target.file_system));
            return exit_usage;
    }
    if (options.deep) {
        // The library ends a scan of a volume it cannot open without a word: ask first.
        QString device = target.volume_name;
        if (device.endsWith(QLatin1Char('\\'))) {
            device.chop(1);
        }
        const intptr_t handle = sig_open(device.toLocal8Bit().constData());
        if (handle == 0) {
            print_error(QStringLiteral("cannot read '%1' (reading a disk needs root or the disk "
                                       "group)")
                            .arg(target.device_name));
            return exit_failed;
        }
        sig_close(handle);
    }
    disk_open_all();
    if (options.continue_scan) {
        QString device = target.volume_name;
        if (device.endsWith(QLatin1Char('\\'))) {
            device.chop(1);
        }
        scan_checkpoint_s checkpoint;
        if (!read_checkpoint(checkpoint_path(device), &checkpoint) ||
            checkpoint.device_path != device) {
            print_error(QStringLiteral("no interrupted deep scan of '%1' to continue")
                            .arg(target.device_name));
            return exit_usage;
        }
        if (checkpoint.identity != volume_identity(device) ||
            !checkpoint_files_unchanged(checkpoint)) {
            print_error(QStringLiteral("'%1': the volume changed since the scan stopped; start "
                                       "a new scan (without --continue)")
                            .arg(target.device_name));
            return exit_usage;
        }
        std::fprintf(stderr, "continuing at %.1f%% with %zu files found\n",
                     100.0 * static_cast<double>(checkpoint.resume_at) /
                         static_cast<double>(std::max<std::uint64_t>(1, target.total_bytes)),
                     checkpoint.records.size());
        if (session->continue_deep_scan(target, checkpoint) != 0) {
            print_error(QStringLiteral("the scan of '%1' could not start").arg(target.device_name));
            return exit_usage;
        }
    } else if (session->start(target, options.deep) != 0) {
        print_error(QStringLiteral("the scan of '%1' could not start").arg(target.device_name));
        return exit_usage;
    }
    recovery_base_c* engine = session->current();
    const bool show_progress = ::isatty(STDERR_FILENO);
    QElapsedTimer clock;
    clock.start();
    while (!engine->wait(200)) {
        if (interrupted && engine->get_stop() == 0) {
            session->stop();
        }
        if (show_progress && session->engine_kind() == engine_signature) {
            print_deep_progress(session->raw_engine(), target.total_bytes, clock.elapsed());
        } else if (show_progress) {
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
    if (const QString status = engine->get_status_text(); !status.isEmpty()) {
        std::fprintf(stderr, "note: %s\n", qPrintable(status));
    }
    return session->has_results() ? exit_ok : exit_failed;
}

// The files a deep scan found, one folder per type, with where each lies on the volume; and
// the scan file when --save asks for one.
int list_deep_scan(const cli_options_s& options, scan_session_c& session) {
    raw_recovery_c& engine = session.raw_engine();
    const auto folders = list_result_folders(session.current(), session.engine_kind(),
                                             folder_paths_e::without_paths);
    QList<QStringList> rows{{QStringLiteral("PATH"), QStringLiteral("SIZE"),
                             QStringLiteral("MODIFIED"), QStringLiteral("CREATED"),
                             QStringLiteral("OFFSET"), QStringLiteral("KEY"),
                             QStringLiteral("VERIFIED")}};
    qsizetype unverified = 0;
    qsizetype files = 0;
    walk_results(session, folders, [&](const found_entry_s& e) {
        if (e.directory) {
            return true;
        }
        ++files;
        const signature_record& record = engine.records()[e.item.file_key];
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        if (options.json) {
            print_json({{QStringLiteral("path"), e.path},
                        {QStringLiteral("name"), e.item.name},
                        {QStringLiteral("type"), QString::fromLatin1(record_type(record))},
                        {QStringLiteral("size"), static_cast<qint64>(e.item.size)},
                        {QStringLiteral("date1"), static_cast<qint64>(e.item.date1)},
                        {QStringLiteral("date2"), static_cast<qint64>(e.item.date2)},
                        {QStringLiteral("index"), static_cast<qint64>(record.index)},
                        {QStringLiteral("pieces"),
                         engine.second_piece(e.item.file_key, &first, &second) ? 2 : 1},
                        {QStringLiteral("verified"),
                         QString::fromLatin1(verified_name(engine.verified(e.item.file_key)))},
                        {QStringLiteral("offset"), static_cast<qint64>(record.offset)},
                        {QStringLiteral("key"), static_cast<qint64>(e.item.file_key)}});
        } else {
            rows << QStringList{
                e.path,
                QString::number(e.item.size),
                date_text(e.item.date1),
                date_text(e.item.date2),
                QString::number(record.offset),
                QString::number(e.item.file_key),
                QString::fromLatin1(verified_name(engine.verified(e.item.file_key)))};
        }
        unverified += is_verified(engine.verified(e.item.file_key)) ? 0 : 1;
        return true;
    });
    if (!options.json) {
        print_table(rows);
        std::fflush(stdout);
        std::fprintf(stderr, "%lld files found in %lld types, %lld not verified\n",
                     static_cast<long long>(files),
                     static_cast<long long>(engine.type_index().size()),
                     static_cast<long long>(unverified));
    }
    if (!options.save.isEmpty()) {
        if (engine.records().empty()) {
            print_error(QStringLiteral("nothing was found; no scan file written"));
            return exit_failed;
        }
        if (engine.write_scan_file(options.save) != 0) {
            print_error(QStringLiteral("cannot write the scan file '%1'").arg(options.save));
            return exit_failed;
        }
        std::fprintf(stderr, "scan saved to %s\n", qPrintable(options.save));
    }
    return exit_ok;
}

// Loads a saved deep scan and finds its volume: one of the listed volumes (images named
// with --image or in the settings included), or a whole image named with --image. A file
// that names anything else is refused; nothing it names is opened before that. False,
// after printing why, on failure.
bool resume_from_file(const cli_options_s& options, scan_session_c* session) {
    if (!add_cli_images(options)) {
        return false;
    }
    if (!QFileInfo(options.from).isFile()) {
        print_error(QStringLiteral("no scan file '%1'").arg(options.from));
        return false;
    }
    enumerate_volumes();
    std::vector<volume_item_s> volumes(volume_list.begin() + (volume_list.empty() ? 0 : 1),
                                       volume_list.end());
    for (const QString& image : options.images) {
        volumes.push_back(whole_image(QFileInfo(image).canonicalFilePath()));
    }
    QString device;
    QString why;
    session->trust_unbound_scan_files(options.trust_scan_file);
    // The names and dates are read below, for the records the pattern may keep, when the
    // scan file does not carry them.
    const int loaded = session->resume_scan_file(options.from, volumes, &device, &why, false);
    if (loaded == scan_session_c::resume_untrusted) {
        print_error(QStringLiteral("'%1' is refused: %2; add --trust-scan-file to load it anyway")
                        .arg(options.from, why));
        return false;
    }
    if (loaded == 0) {
        if (const std::size_t refused = session->raw_engine().refused_records(); refused > 0) {
            print_error(QStringLiteral("%1 records of the scan file were left out: their index, "
                                       "type or size cannot be those of a found file on this "
                                       "volume")
                            .arg(refused));
        }
        return true;
    }
    if (device.isEmpty()) {
        print_error(QStringLiteral("'%1' is not a scan file").arg(options.from));
        return false;
    }
    if (why.startsWith(QLatin1String("no listed volume"))) {
        print_error(QStringLiteral("the volume '%1' of this scan is not present (add its image "
                                   "with --image)")
                        .arg(device));
    } else {
        print_error(QStringLiteral("cannot restore from '%1': %2").arg(options.from, why));
    }
    return false;
}

// Whether a glob (*, ? and plain characters, any case) can match some text that ends with
// suffix; true also for a glob this cannot tell about (one with classes or escapes). Every
// name and path of a deep scan's file ends in ".type", so a type the pattern cannot match
// needs none of its files' names.
bool glob_may_end_with(const QString& glob, const QString& suffix) {
    const bool surrogates =
        std::any_of(glob.begin(), glob.end(), [](QChar c) { return c.isSurrogate(); });
    if (surrogates || glob.contains(QLatin1Char('[')) || glob.contains(QLatin1Char('\\'))) {
        return true;  // a character in two halves would not read backwards
    }
    // Read backwards: the reversed glob must accept the reversed suffix as a beginning.
    QString reversed_glob = glob;
    std::reverse(reversed_glob.begin(), reversed_glob.end());
    QString reversed_suffix = suffix;
    std::reverse(reversed_suffix.begin(), reversed_suffix.end());
    const QRegularExpression backwards(
        QRegularExpression::wildcardToRegularExpression(reversed_glob),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m =
        backwards.match(reversed_suffix, 0, QRegularExpression::PartialPreferCompleteMatch);
    return m.hasMatch() || m.hasPartialMatch();
}

// A loaded scan file that does not carry its files' names and dates (one written before it
// did): they are read from the volume for the types whose files the pattern may match only.
void read_wanted_metadata(const cli_options_s& options, scan_session_c& session) {
    raw_recovery_c& engine = session.raw_engine();
    if (engine.metadata_known()) {
        return;
    }
    if (options.match.isEmpty()) {
        engine.read_metadata();
        return;
    }
    QHash<QByteArray, bool> types;
    const auto& records = engine.records();
    engine.read_metadata({}, [&](std::uint64_t position) {
        const QByteArray type = record_type(records[position]);
        auto known = types.constFind(type);
        if (known == types.constEnd()) {
            known = types.insert(
                type,
                glob_may_end_with(options.match, QLatin1Char('.') + QString::fromLatin1(type)));
        }
        return known.value();
    });
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
    if (session.engine_kind() == engine_signature) {
        return list_deep_scan(options, session);
    }
    recovery_base_c* engine = session.current();
    const auto folders =
        list_result_folders(engine, session.engine_kind(), folder_paths_e::without_paths);
    const QStringList header{QStringLiteral("PATH"),     QStringLiteral("SIZE"),
                             QStringLiteral("MODIFIED"), QStringLiteral("CREATED"),
                             QStringLiteral("KEY"),      QStringLiteral("ATTR"),
                             QStringLiteral("STATE"),    QStringLiteral("OVERWRITTEN")};
    const auto row_of = [&](const found_entry_s& e) {
        const recovery_item_s& item = e.item;
        const bool deleted = record_is_deleted(session.engine_kind(), item);
        return QStringList{e.path + (e.directory ? QStringLiteral("/") : QString()),
                           e.directory ? QStringLiteral("-") : QString::number(item.size),
                           date_text(item.date1),
                           date_text(item.date2),
                           QString::number(item.file_key),
                           QStringLiteral("0x%1").arg(static_cast<std::uint32_t>(item.attributes),
                                                      2, 16, QLatin1Char('0')),
                           deleted ? QStringLiteral("deleted") : QStringLiteral("live"),
                           e.directory        ? QStringLiteral("-")
                           : item.overwritten ? QStringLiteral("possibly")
                                              : QStringLiteral("no")};
    };
    std::size_t listed = 0;
    std::size_t without_data = 0;
    // Deleted files that the quick scan lists by name only are counted, and the way to their
    // data named, after the listing.
    const auto count_without_data = [&](const found_entry_s& e) {
        if (!e.directory && record_without_data(session.engine_kind(), e.item)) {
            ++without_data;
        }
    };
    const auto say_without_data = [&] {
        if (without_data > 0) {
            std::fprintf(stderr,
                         "%zu deleted files are listed by name only: where their data lay is "
                         "no longer known, so they cannot be restored from this scan; a deep "
                         "scan (--deep) may find their data by its content\n",
                         without_data);
        }
    };
    if (options.json) {
        walk_results(session, folders, [&](const found_entry_s& e) {
            ++listed;
            count_without_data(e);
            const recovery_item_s& item = e.item;
            print_json({{QStringLiteral("path"), e.path},
                        {QStringLiteral("name"), item.name},
                        {QStringLiteral("size"), static_cast<qint64>(item.size)},
                        {QStringLiteral("date1"), static_cast<qint64>(item.date1)},
                        {QStringLiteral("date2"), static_cast<qint64>(item.date2)},
                        {QStringLiteral("key"), static_cast<qint64>(item.file_key)},
                        {QStringLiteral("attributes"), static_cast<qint64>(item.attributes)},
                        {QStringLiteral("deleted"), record_is_deleted(session.engine_kind(), item)},
                        {QStringLiteral("overwritten"), item.overwritten},
                        {QStringLiteral("restorable"),
                         !e.directory && !record_without_data(session.engine_kind(), item)},
                        {QStringLiteral("dir"), e.directory}});
            return true;
        });
        say_without_data();
        return exit_ok;
    }
    // Two walks, the widths first: rows are printed as they come, never held, since deep
    // folder trees give paths of hundreds of thousands of characters.
    QList<int> widths;
    widen_table(&widths, header);
    walk_results(session, folders, [&](const found_entry_s& e) {
        widen_table(&widths, row_of(e));
        return true;
    });
    print_table_row(header, widths);
    walk_results(session, folders, [&](const found_entry_s& e) {
        ++listed;
        count_without_data(e);
        print_table_row(row_of(e), widths);
        return true;
    });
    std::fflush(stdout);  // the table before the summary when both go to one terminal or file
    std::fprintf(stderr, "%lld entries read, %zu listed\n",
                 static_cast<long long>(engine->get_read_count()), listed);
    say_without_data();
    return exit_ok;
}

int command_restore(const cli_options_s& options) {
    volume_item_s target;
    scan_session_c session;
    if (!options.from.isEmpty()) {
        if (!resume_from_file(options, &session)) {
            return exit_usage;
        }
        read_wanted_metadata(options, session);
        target = session.target();
    } else if (!resolve_target(options, &target)) {
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
    if (options.from.isEmpty()) {
        if (const int code = run_scan(options, target, &session); code != exit_ok) {
            return code;
        }
    }
    catch_interrupt();
    restore_writer_c writer([] { return interrupted != 0; });
    if (!options.owner.isEmpty()) {
        const struct passwd* user = ::getpwnam(options.owner.toLocal8Bit().constData());
        if (!user) {
            print_error(QStringLiteral("there is no user '%1'").arg(options.owner));
            return exit_usage;
        }
        writer.set_owner(user->pw_uid, user->pw_gid);
    }
    if (!writer.open(destination)) {
        print_error(writer.error_text());
        return exit_usage;
    }
    recovery_base_c* engine = session.current();
    QRegularExpression match;
    if (!options.match.isEmpty()) {
        // FAT and NTFS names are found whatever their case, so they are matched that way too
        match = QRegularExpression(QRegularExpression::wildcardToRegularExpression(options.match),
                                   QRegularExpression::CaseInsensitiveOption);
    }
    const bool deep = session.engine_kind() == engine_signature;
    // A deep scan's file that was not checked whole: its bytes after the first checked ones
    // may be another file's.
    const auto unverified = [&](const recovery_item_s& item) {
        return deep && !is_verified(session.raw_engine().verified(item.file_key));
    };
    const auto wanted = [&](const found_entry_s& e) {
        return !e.directory && !(options.verified_only && unverified(e.item)) &&
               (options.match.isEmpty() || match.match(e.path).hasMatch() ||
                match.match(e.item.name).hasMatch()) &&
               !(options.skip_overwritten && e.item.overwritten);
    };
    const auto folders =
        list_result_folders(engine, session.engine_kind(), folder_paths_e::without_paths);
    // The files to restore, in path order; their paths are built again only for messages.
    struct chosen_s {
        std::size_t folder;
        recovery_item_s item;
    };
    std::vector<chosen_s> chosen;
    walk_results(session, folders, [&](const found_entry_s& e) {
        if (wanted(e)) {
            chosen.push_back({e.folder, e.item});
        }
        return true;
    });
    if (deep) {
        // Read in the order of the files on the volume, so a disk reads forwards: each file
        // has its own name in its own folder, so the order it is written in changes nothing.
        const auto& records = session.raw_engine().records();
        std::stable_sort(chosen.begin(), chosen.end(), [&](const chosen_s& a, const chosen_s& b) {
            return records[a.item.file_key].offset < records[b.item.file_key].offset;
        });
    }
    const std::size_t total = chosen.size();
    const bool show_progress = ::isatty(STDERR_FILENO);
    // The writer's folder for each found folder, made when a file goes into it.
    std::vector<int> made(folders.size(), -1);
    made[0] = restore_writer_c::top_folder;
    const auto writer_folder = [&](std::size_t folder) {
        std::vector<std::size_t> up;
        for (std::size_t f = folder; made[f] < 0; f = static_cast<std::size_t>(folders[f].parent)) {
            up.push_back(f);
        }
        for (auto it = up.rbegin(); it != up.rend(); ++it) {
            made[*it] = writer.folder(made[static_cast<std::size_t>(folders[*it].parent)],
                                      folders[*it].item.name);
        }
        return made[folder];
    };
    int restored = 0;
    int failed = 0;
    int overwritten = 0;   // restored, but possibly with other files' data
    int not_verified = 0;  // restored as found, not checked whole
    std::size_t done = 0;
    for (const chosen_s& c : chosen) {
        if (interrupted) {
            break;
        }
        if (show_progress) {
            std::fprintf(stderr, "\rrestoring %zu of %zu ", done + 1, total);
        }
        const auto fill = [&](restore_sink_c* sink) {
            return engine->restore_into(c.item.file_key, sink);
        };
        // A deep scan's file is dated from its own metadata, as the listing shows it; a quick
        // scan's from the file system's write and access times.
        restore_times_s times{c.item.date1, c.item.accessed};
        if (deep) {
            times = {c.item.date1 != 0 ? c.item.date1 : c.item.date2, 0};
        }
        const restore_result_e result = writer.write_file(
            writer_folder(c.folder), restored_name(c.item), c.item.size, fill, nullptr, times);
        if (result == restore_stopped) {
            break;  // the file being written was removed
        }
        ++done;
        if (result == restore_written) {
            ++restored;
            if (c.item.overwritten || engine->last_restore_overwritten()) {
                ++overwritten;
            }
            not_verified += unverified(c.item) ? 1 : 0;
        } else {
            QString why = writer.error_text();
            if (why.isEmpty()) {
                why = engine->get_error_text();
            }
            if (why.isEmpty()) {
                why = QStringLiteral("its data could not be read whole");
            }
            const QString folder = result_folder_path(folders, c.folder);
            const QString path =
                (folder == QLatin1String("/") ? folder : folder + QLatin1Char('/')) + c.item.name;
            print_error(QStringLiteral("could not restore '%1': %2").arg(path, why));
            ++failed;
        }
    }
    if (show_progress) {
        std::fputs("\r\033[K", stderr);
    }
    if (interrupted) {
        print_error(QStringLiteral("restore interrupted after %1 of %2 files; no partial file "
                                   "was left")
                        .arg(done)
                        .arg(total));
    }
    if (deep) {
        std::printf("restored %d of %zu files, %d failed, %d not verified\n", restored, total,
                    failed, not_verified);
    } else {
        std::printf("restored %d of %zu files, %d failed, %d possibly overwritten\n", restored,
                    total, failed, overwritten);
    }
    if (restored > 0 && !options.owner.isEmpty()) {
        std::fprintf(stderr, "the restored files belong to %s\n", qPrintable(options.owner));
    } else if (restored > 0 && platform::private_outputs()) {
        std::fprintf(stderr,
                     "the restored files and folders are readable by root only (run as "
                     "root); --owner USER gives them to a user\n");
    }
    return restored == static_cast<int>(total) ? exit_ok : exit_failed;
}
