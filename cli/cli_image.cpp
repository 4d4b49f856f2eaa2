// orvane image: the careful copy of a drive, which may be failing, into a raw image file.
#include "cli_commands.h"
#include "cli_setup.h"

#include "device/drive_list.h"
#include "device/imaging/image_rescue.h"
#include "device/platform/platform_device.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <atomic>
#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace {

std::atomic<int> stop_word{0};

void on_interrupt(int) {
    stop_word.store(1);
}

// The drive SOURCE names: its number or name in 'orvane drives', or a file or device
// node, which is added as an image. Prints why not and returns false.
bool find_source(const QString& argument, platform::drive_desc_s* source) {
    enumerate_physical_drives();
    const std::vector<platform::drive_desc_s> drives = platform::list_drives();
    bool number = false;
    const int n = argument.toInt(&number);
    if (number && !QFileInfo::exists(argument)) {
        if (n < 0 || static_cast<std::size_t>(n) >= drives.size()) {
            print_error(QStringLiteral("there is no drive %1; 'orvane drives' lists them").arg(n));
            return false;
        }
        *source = drives[static_cast<std::size_t>(n)];
        return true;
    }
    const QFileInfo info(argument);
    const QString canonical = info.exists() ? info.canonicalFilePath() : argument;
    for (const platform::drive_desc_s& drive : drives) {
        if (drive.name == argument || drive.name == canonical) {
            *source = drive;
            return true;
        }
    }
    if (!info.exists()) {
        print_error(QStringLiteral("no drive or image '%1'; 'orvane drives' lists the drives")
                        .arg(argument));
        return false;
    }
    QString error;
    if (!platform::add_image(argument, &error)) {
        print_error(error);
        return false;
    }
    *source = {canonical, platform::drive_kind_e::image};
    return true;
}

QString duration_text(double seconds) {
    if (seconds < 0) {
        return QStringLiteral("?");
    }
    const auto s = static_cast<long long>(seconds + 0.5);
    return QString::asprintf("%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

void show_progress(const rescue_progress_s& p) {
    const QString line =
        QStringLiteral("\rpass %1  rescued %2 of %3  bad %4 in %5 areas  %6/s  left %7%8")
            .arg(p.pass)
            .arg(format_size(p.rescued), format_size(p.size), format_size(p.bad_bytes))
            .arg(p.bad_areas)
            .arg(format_size(static_cast<std::uint64_t>(p.bytes_per_second)),
                 duration_text(p.seconds_left), p.paused ? QStringLiteral("  paused") : QString());
    std::fputs(line.leftJustified(100).toUtf8().constData(), stderr);
    std::fflush(stderr);
}

}  // namespace

int command_image(const cli_options_s& options) {
    if (!add_cli_images(options)) {
        return exit_usage;
    }
    platform::drive_desc_s source;
    if (!find_source(options.positional.at(0), &source)) {
        return exit_usage;
    }
    const QString output = QFileInfo(options.positional.at(1)).absoluteFilePath();
    if (output_on_source(output, source)) {
        print_error(QStringLiteral("the image '%1' would be written on the drive it copies, %2; "
                                   "write it to another drive")
                        .arg(output, source.name));
        return exit_usage;
    }
    if (!options.map.isEmpty() && QFileInfo(options.map).absoluteFilePath() == output) {
        print_error(QStringLiteral("the map and the image must be two files"));
        return exit_usage;
    }
    QString error;
    auto device = platform::open_drive(source, &error);
    if (!device) {
        print_error(error);
        return exit_failed;
    }
    image_rescue_c::settings_s settings;
    settings.map_path = options.map;
    settings.source_name = source.name;
    settings.command_line = QCoreApplication::arguments().join(QLatin1Char(' '));
    settings.trust_unnamed_map = options.trust_map;
    image_rescue_c rescue(*device, settings);
    if (!rescue.open(output, &error)) {
        print_error(rescue.map_names_no_source()
                        ? error + QStringLiteral("; if it is the map of this very source, add "
                                                 "--trust-map to continue from it")
                        : error);
        return exit_usage;
    }
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    if (rescue.resumed()) {
        print_line(QStringLiteral("continuing from %1: %2 of %3 copied")
                       .arg(options.map, format_size(rescue.map().bytes('+')),
                            format_size(rescue.map().source_size())));
        std::fflush(stdout);
    }
    const auto outcome =
        rescue.run(stop_word, nullptr,
                   terminal ? std::function<void(const rescue_progress_s&)>(show_progress)
                            : std::function<void(const rescue_progress_s&)>(),
                   &error);
    if (terminal) {
        std::fputc('\n', stderr);
    }
    const rescue_map_c& map = rescue.map();
    const QString summary = QStringLiteral("rescued %1 of %2 bytes; %3 bad bytes in %4 areas")
                                .arg(map.bytes('+'))
                                .arg(map.source_size())
                                .arg(map.bytes('-'))
                                .arg(map.areas('-'));
    switch (outcome) {
        case image_rescue_c::outcome_e::complete:
            print_line(QStringLiteral("complete: ") + summary);
            return exit_ok;
        case image_rescue_c::outcome_e::incomplete:
            print_line(QStringLiteral("incomplete: ") + summary +
                       QStringLiteral("; the bad sectors are zeros in the image"));
            return exit_image_incomplete;
        case image_rescue_c::outcome_e::stopped:
            print_line(QStringLiteral("stopped: ") + summary +
                       (options.map.isEmpty()
                            ? QStringLiteral("; without --map the copy cannot be continued")
                            : QStringLiteral("; run the same command again to continue")));
            return exit_image_stopped;
        case image_rescue_c::outcome_e::failed:
            break;
    }
    print_error(error);
    print_line(QStringLiteral("failed: ") + summary);
    return exit_failed;
}
