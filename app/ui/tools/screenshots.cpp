// Renders the main window offscreen and writes one PNG per page and language:
//
//     orvane_screenshots OUTDIR [SEARCH_IMAGE]     writes OUTDIR/PAGE-LANG.png
//
// The scan page is shot when ORVANE_SHOT_FAT names a FAT32 image (its partition 1 is
// scanned: scan-LANG.png; maximised with a folder ticked: scan-max-en.png, scan-max-de.png;
// the restoration's summary: restore-summary-en.png), ORVANE_SHOT_RAW an image for the deep
// scan (scan-deep-en.png; stopped: scan-stopped-en.png; every file restored:
// restore-summary-deep-en.png), ORVANE_SHOT_EXFAT an exFAT
// image (partition 1: scan-exfat-en.png) and ORVANE_SHOT_CARD a camera card's image, deep-
// scanned for the grid of thumbnails (scan-thumbs-en.png); the deep scan paused a third of
// the way is shot in German (scan-paused-de.png). With SEARCH_IMAGE the repair question is
// shot too (repair-question-en.png), with ORVANE_SHOT_REFUSAL (one of the drives, holding a
// file system from sector 0) the repair's refusal (repair-refusal-en.png). With ORVANE_SHOT_TAG
// set, only the English volume page is shot, as volumes-TAG-en.png.
//
// Each language is loaded as at start-up (English first, then the language), so the
// pictures show what a user of that language sees. The device pages list the drives of
// ORVANE_IMAGES (scripts/screenshots.sh gives the demo images), with the free space read
// as the program reads it after start-up; the partition page shows a finished search of
// SEARCH_IMAGE. Nothing is written to the user's settings: a private folder stands in.

#include "app/ui/fonts.h"
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "app/ui/qt_translations.h"
#include "app/ui/tools/screenshots_image.h"
#include "app/ui/tools/screenshots_more.h"
#include "app/ui/tools/screenshots_scan.h"
#include "core/settings.h"
#include "device/disk_table.h"
#include "device/drive_list.h"
#include "device/ui/drive_window.h"
#include "device/ui/volume_window.h"
#include "device/volume_free_space.h"
#include "device/volume_list.h"
#include "partition/ui/partition_window.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

struct shot_language_s {
    const char* code;     // the file name's LANG
    const char* section;  // the language's section in language.ini
};

const shot_language_s shot_languages[] = {
    {"en", "English"},
    {"de", "Deutsch"},
    {"cn", "简体中文"},
};

struct shot_page_s {
    const char* name;       // the file name's PAGE
    int index;              // the page of the main window
    const char* languages;  // the LANG codes it is taken in
};

const shot_page_s shot_pages[] = {
    {"home", 0, "en de cn"},
    {"volumes", 1, "en de cn"},
    {"drives", 2, "en"},
    {"partitions", 3, "en"},
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: orvane_screenshots OUTDIR [SEARCH_IMAGE]\n");
        return 2;
    }
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    // Deep scans stopped for a picture leave checkpoints: in a folder of this run's own, so
    // that no later run is asked whether to continue them.
    qputenv("XDG_STATE_HOME", (config.path() + QStringLiteral("/state")).toUtf8());
    const QString search_image = argc == 3 ? QString::fromLocal8Bit(argv[2]) : QString();
    // The devices as start-up lists them, the free space as read after it.
    enumerate_volumes();
    enumerate_physical_drives();
    disk_open_all();
    fill_unknown_free_space(volume_list);
    drive_item_s search_drive;
    for (const drive_item_s& drive : drive_list) {
        if (!search_image.isEmpty() && drive.name == QFileInfo(search_image).canonicalFilePath()) {
            search_drive = drive;
        }
    }
    // ORVANE_SHOT_REFUSAL: a drive without a partition table, whose repair is refused.
    const QString refusal_image = qEnvironmentVariable("ORVANE_SHOT_REFUSAL");
    drive_item_s refusal_drive;
    for (const drive_item_s& drive : drive_list) {
        if (!refusal_image.isEmpty() &&
            drive.name == QFileInfo(refusal_image).canonicalFilePath()) {
            refusal_drive = drive;
        }
    }
    if (!search_image.isEmpty() && search_drive.name.isEmpty()) {
        std::fprintf(stderr, "%s is not one of the drives (ORVANE_IMAGES)\n", argv[2]);
        return 1;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(out)) {
        std::fprintf(stderr, "cannot make the folder %s\n", argv[1]);
        return 1;
    }
    install_font_substitutions();
    init_image_resources();
    int failures = 0;
    for (const shot_language_s& language : shot_languages) {
        language_state() = language_state_s{};
        const QString section = QString::fromUtf8(language.section);
        language_state().current_name = section;
        if (load_language(QStringLiteral("English"), false) != 0 ||
            load_language(section, true) != 0) {
            std::fprintf(stderr, "cannot read language.ini in %s\n", qPrintable(data_folder()));
            return 1;
        }
        install_qt_translations(section);
        main_window_c window;
        window.resize(800, 600);
        window.show();
        window.volume_page->show_volumes();
        window.drive_page->show_drives();
        if (!search_drive.name.isEmpty()) {
            window.partition_page->start_partition_search(search_drive);
            window.partition_page->worker.wait();
            QApplication::processEvents();  // the found rows and the end of the search
            window.partition_page->on_timer();
        }
        const QString tag = qEnvironmentVariable("ORVANE_SHOT_TAG");
        if (!tag.isEmpty() && std::strcmp(language.code, "en") != 0) {
            continue;
        }
        for (const shot_page_s& page : shot_pages) {
            if (!QString::fromLatin1(page.languages).split(' ').contains(language.code) ||
                (!tag.isEmpty() && std::strcmp(page.name, "volumes") != 0)) {
                continue;
            }
            window.show_page(page.index);
            QApplication::processEvents();
            const QString name = tag.isEmpty() ? QString::fromLatin1(page.name)
                                               : QString::fromLatin1(page.name) + '-' + tag;
            const QString path = QStringLiteral("%1/%2-%3.png").arg(out, name, language.code);
            if (!window.grab().save(path)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                ++failures;
            } else {
                std::printf("%s\n", qPrintable(path));
            }
        }
        const QString code = QString::fromLatin1(language.code);
        if (code == QLatin1String("en") && drive_list.size() >= 2) {
            const QString path = QStringLiteral("%1/imaging-en.png").arg(out);
            if (!shoot_image_dialog(&window, path)) {
                std::fprintf(stderr, "cannot shoot %s\n", qPrintable(path));
                ++failures;
            } else {
                std::printf("%s\n", qPrintable(path));
            }
        }
        const QString fat = qEnvironmentVariable("ORVANE_SHOT_FAT");
        const QString raw = qEnvironmentVariable("ORVANE_SHOT_RAW");
        const QString exfat = qEnvironmentVariable("ORVANE_SHOT_EXFAT");
        const QString card = qEnvironmentVariable("ORVANE_SHOT_CARD");
        struct scan_shot_s {
            QString image;
            bool deep;
            QString name;
            QString folder;
        };
        std::vector<scan_shot_s> scans;
        if (!fat.isEmpty() && code != QLatin1String("de")) {
            scans.push_back({fat, false, QStringLiteral("scan"), QString()});
        }
        if (!raw.isEmpty() && code == QLatin1String("en")) {
            scans.push_back({raw, true, QStringLiteral("scan-deep"), QString()});
        }
        if (!exfat.isEmpty() && code == QLatin1String("en") && tag.isEmpty()) {
            scans.push_back({exfat, false, QStringLiteral("scan-exfat"), QStringLiteral("/trash")});
        }
        for (const scan_shot_s& shot : scans) {
            const QString path = QStringLiteral("%1/%2-%3.png").arg(out, shot.name, code);
            if (!shoot_scan_page(&window, shot.image, 1, shot.deep, path, shot.folder)) {
                std::fprintf(stderr, "cannot shoot %s\n", qPrintable(path));
                ++failures;
            } else {
                std::printf("%s\n", qPrintable(path));
            }
        }
        struct more_shot_s {
            bool wanted;
            const char* name;
            std::function<bool(const QString&)> shoot;
        };
        const bool en = code == QLatin1String("en");
        const more_shot_s more[] = {
            {!fat.isEmpty() && (en || code == QLatin1String("de")), "scan-max",
             [&](const QString& path) { return shoot_scan_maximised(&window, fat, path); }},
            {!fat.isEmpty() && en, "restore-summary",
             [&](const QString& path) { return shoot_restore_summary(&window, fat, path); }},
            {!raw.isEmpty() && en, "restore-summary-deep",
             [&](const QString& path) { return shoot_deep_restore_summary(&window, raw, path); }},
            {!raw.isEmpty() && en, "scan-stopped",
             [&](const QString& path) { return shoot_stopped_scan(&window, raw, path); }},
            {!card.isEmpty() && en, "scan-thumbs",
             [&](const QString& path) { return shoot_thumbnail_grid(&window, card, path); }},
            {!search_drive.name.isEmpty() && en, "repair-question",
             [&](const QString& path) { return shoot_repair_question(&window, path); }},
            {!raw.isEmpty() && code == QLatin1String("de"), "scan-paused",
             [&](const QString& path) { return shoot_paused_scan(&window, raw, path); }},
            {!refusal_drive.name.isEmpty() && en, "repair-refusal",
             [&](const QString& path) {
                 return shoot_repair_refusal(&window, refusal_drive, path);
             }},
        };
        for (const more_shot_s& shot : more) {
            if (!shot.wanted) {
                continue;
            }
            const QString path = QStringLiteral("%1/%2-%3.png").arg(out, shot.name, code);
            if (!shot.shoot(path)) {
                std::fprintf(stderr, "cannot shoot %s\n", qPrintable(path));
                ++failures;
            } else {
                std::printf("%s\n", qPrintable(path));
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
