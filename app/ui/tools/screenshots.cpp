// Renders the main window offscreen and writes one PNG per page and language:
//
//     orvane_screenshots OUTDIR        writes OUTDIR/PAGE-LANG.png
//
// The scan page is shot when ORVANE_SHOT_FAT names a FAT32 image (its partition 1 is
// scanned: scan-LANG.png) and ORVANE_SHOT_RAW an image for the deep scan (scan-deep-en.png).
//
// Each language is loaded as at start-up (English first, then the language), so the
// pictures show what a user of that language sees. Nothing is written to the settings.

#include "app/settings.h"
#include "app/ui/fonts.h"
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "app/ui/tools/screenshots_scan.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>

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
    const char* name;  // the file name's PAGE
    int index;         // the page of the main window
};

const shot_page_s shot_pages[] = {
    {"home", 0},
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvane_screenshots OUTDIR\n");
        return 2;
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
        main_window_c window;
        window.resize(800, 600);
        window.show();
        for (const shot_page_s& page : shot_pages) {
            window.show_page(page.index);
            QApplication::processEvents();
            const QString path = QStringLiteral("%1/%2-%3.png").arg(out, page.name, language.code);
            if (!window.grab().save(path)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                ++failures;
            } else {
                std::printf("%s\n", qPrintable(path));
            }
        }
        const QString code = QString::fromLatin1(language.code);
        const QString fat = qEnvironmentVariable("ORVANE_SHOT_FAT");
        const QString raw = qEnvironmentVariable("ORVANE_SHOT_RAW");
        struct scan_shot_s {
            QString image;
            bool deep;
            QString name;
        };
        std::vector<scan_shot_s> scans;
        if (!fat.isEmpty() && code != QLatin1String("de")) {
            scans.push_back({fat, false, QStringLiteral("scan")});
        }
        if (!raw.isEmpty() && code == QLatin1String("en")) {
            scans.push_back({raw, true, QStringLiteral("scan-deep")});
        }
        for (const scan_shot_s& shot : scans) {
            const QString path = QStringLiteral("%1/%2-%3.png").arg(out, shot.name, code);
            if (!shoot_scan_page(&window, shot.image, 1, shot.deep, path)) {
                std::fprintf(stderr, "cannot shoot %s\n", qPrintable(path));
                ++failures;
            } else {
                std::printf("%s\n", qPrintable(path));
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
