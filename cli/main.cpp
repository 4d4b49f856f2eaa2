// orvane: the command-line face of OrvaneRecovery, for scripting, servers and tests.
#include "cli_commands.h"

#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "partition/partition_item.h"
#include "result/recovery_item.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

#include <sys/prctl.h>

namespace {

const char usage_text[] =
    "usage: orvane COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  drives  [--json]                      list the drives\n"
    "  volumes [--json]                      list the volumes\n"
    "  scan    [--deep [--continue] [--save FILE.sav]] [--json] TARGET\n"
    "                                        scan a volume and list what was found\n"
    "  restore [--deep] --to DIR [--match GLOB] [--skip-overwritten] [--verified-only]\n"
    "          TARGET                        scan a volume and restore the found files\n"
    "  restore --from FILE.sav [--trust-scan-file] --to DIR [--match GLOB] [--verified-only]\n"
    "                                        restore from a saved deep scan\n"
    "  partitions [--json] [--repair [--yes]] DRIVE\n"
    "                                        search a drive for lost partitions (NTFS,\n"
    "                                        FAT, exFAT, ext2/3/4, XFS, btrfs, swap);\n"
    "                                        --repair writes the partition table back\n"
    "                                        (GPT or MBR; asks first, keeps a backup)\n"
    "  partitions --undo BACKUP [--yes] [--force] DRIVE\n"
    "                                        put back the sectors a repair replaced\n"
    "  image [--map MAPFILE [--trust-map]] SOURCE OUTPUT\n"
    "                                        copy a drive or image, which may be failing,\n"
    "                                        into the raw image file OUTPUT: the readable\n"
    "                                        bulk first, then the rest in smaller reads,\n"
    "                                        unreadable sectors as zeros; MAPFILE (GNU\n"
    "                                        ddrescue's format) lets a stopped copy continue\n"
    "\n"
    "options:\n"
    "  --image FILE      add a disk image as a drive (repeatable; also ORVANE_IMAGES)\n"
    "  --partition N     the volume of an image that holds a partition table\n"
    "  --json            one JSON object per line\n"
    "  --match GLOB      restore only files whose name or path matches (any case)\n"
    "  --skip-overwritten  leave out files whose clusters other files hold now\n"
    "  --verified-only   of a deep scan's files, restore only those checked whole\n"
    "                    (\"verified\": \"whole\" or \"joined\" in --json)\n"
    "  --deep            find files by their content (any volume, or a whole image);\n"
    "                    they are restored into one folder per type\n"
    "  --continue        go on with an interrupted deep scan of TARGET where it stopped\n"
    "                    (kept in ~/.local/state/OrvaneRecovery/deep-scans/)\n"
    "  --trust-scan-file load a scan file that does not name its volume (made by another\n"
    "                    program or an old version): its records may name any bytes\n"
    "  --trust-map       image: continue from a map that does not name its source (made\n"
    "                    by GNU ddrescue or an old version), as you say it is SOURCE's\n"
    "  --owner USER      restore: give the restored folders and files to USER (as root,\n"
    "                    they are otherwise readable by root only)\n"
    "\n"
    "DRIVE is a drive as 'orvane drives' lists it (number or name) or an image file.\n"
    "TARGET is a volume as 'orvane volumes' lists it (device name, volume name or mount\n"
    "path) or an image file.\n"
    "exit codes: 0 ok, 1 some work failed, 2 usage error; for image also 3 incomplete\n"
    "(unreadable sectors were written as zeros), 4 stopped before the end (Ctrl-C)\n";

int usage_error(const QString& message) {
    print_error(message);
    std::fputs("Try 'orvane --help'.\n", stderr);
    return exit_usage;
}

// ORVANE_DEVICE_COUNTS set: what the device layer did, on standard error as the tool ends
// (for tests and benchmarks of what a command costs).
void print_device_counts() {
    const platform::device_counts_s counts = platform::device_counts();
    std::fprintf(stderr,
                 "device: %llu drive opens, %llu container opens, %llu reads, %llu bytes read\n",
                 static_cast<unsigned long long>(counts.drive_opens),
                 static_cast<unsigned long long>(counts.container_opens),
                 static_cast<unsigned long long>(counts.reads),
                 static_cast<unsigned long long>(counts.bytes_read));
}

}  // namespace

int main(int argc, char** argv) {
    // Not dumpable: no other process of this user may attach to this one or take its
    // descriptors (pidfd_getfd), such as a disk that the privileged helper opened for it.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("ORVANE_DEVICE_COUNTS")) {
        std::atexit(print_device_counts);
    }
    register_device_meta_types();
    register_result_meta_types();
    register_partition_meta_types();
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fputs(usage_text, stderr);
        return exit_usage;
    }
    if (args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h") ||
        args.first() == QLatin1String("help")) {
        std::fputs(usage_text, stdout);
        return exit_ok;
    }
    cli_options_s options;
    options.command = args.takeFirst();
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        auto value = [&](QString* out) {
            if (i + 1 >= args.size()) {
                return false;
            }
            *out = args.at(++i);
            return true;
        };
        if (arg == QLatin1String("--json")) {
            options.json = true;
        } else if (arg == QLatin1String("--deep")) {
            options.deep = true;
        } else if (arg == QLatin1String("--continue")) {
            options.continue_scan = true;
        } else if (arg == QLatin1String("--skip-overwritten")) {
            options.skip_overwritten = true;
        } else if (arg == QLatin1String("--verified-only")) {
            options.verified_only = true;
        } else if (arg == QLatin1String("--repair")) {
            options.repair = true;
        } else if (arg == QLatin1String("--yes")) {
            options.yes = true;
        } else if (arg == QLatin1String("--force")) {
            options.force = true;
        } else if (arg == QLatin1String("--trust-scan-file")) {
            options.trust_scan_file = true;
        } else if (arg == QLatin1String("--trust-map")) {
            options.trust_map = true;
        } else if (arg == QLatin1String("--owner")) {
            if (!value(&options.owner)) {
                return usage_error(QStringLiteral("--owner needs a user name"));
            }
        } else if (arg == QLatin1String("--undo")) {
            if (!value(&options.undo)) {
                return usage_error(QStringLiteral("--undo needs the backup file a repair saved"));
            }
        } else if (arg == QLatin1String("--image")) {
            QString path;
            if (!value(&path)) {
                return usage_error(QStringLiteral("--image needs a file"));
            }
            options.images << path;
        } else if (arg == QLatin1String("--partition")) {
            QString number;
            bool ok = false;
            if (!value(&number) || (options.partition = number.toInt(&ok), !ok) ||
                options.partition < 0) {
                return usage_error(QStringLiteral("--partition needs a partition number"));
            }
        } else if (arg == QLatin1String("--to")) {
            if (!value(&options.destination)) {
                return usage_error(QStringLiteral("--to needs a folder"));
            }
        } else if (arg == QLatin1String("--save")) {
            if (!value(&options.save)) {
                return usage_error(QStringLiteral("--save needs a file"));
            }
        } else if (arg == QLatin1String("--from")) {
            if (!value(&options.from)) {
                return usage_error(QStringLiteral("--from needs a scan file"));
            }
        } else if (arg == QLatin1String("--map")) {
            if (!value(&options.map)) {
                return usage_error(QStringLiteral("--map needs a file"));
            }
        } else if (arg == QLatin1String("--match")) {
            if (!value(&options.match)) {
                return usage_error(QStringLiteral("--match needs a pattern"));
            }
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usage_text, stdout);
            return exit_ok;
        } else if (arg.startsWith(QLatin1String("--"))) {
            return usage_error(QStringLiteral("unknown option '%1'").arg(arg));
        } else {
            options.positional << arg;
        }
    }
    const bool takes_target = options.command == QLatin1String("scan") ||
                              options.command == QLatin1String("restore") ||
                              options.command == QLatin1String("partitions");
    if (options.trust_map && (options.command != QLatin1String("image") || options.map.isEmpty())) {
        return usage_error(QStringLiteral("--trust-map goes with 'image --map'"));
    }
    if (options.command == QLatin1String("image")) {
        if (options.positional.size() != 2) {
            return usage_error(QStringLiteral("'image' needs a SOURCE and an OUTPUT"));
        }
        return command_image(options);
    }
    if (!options.map.isEmpty()) {
        return usage_error(QStringLiteral("--map goes with 'image'"));
    }
    if (!takes_target && !options.positional.isEmpty()) {
        return usage_error(QStringLiteral("'%1' takes no argument '%2'")
                               .arg(options.command, options.positional.first()));
    }
    if (options.command == QLatin1String("drives")) {
        return command_drives(options);
    }
    if (options.command == QLatin1String("volumes")) {
        return command_volumes(options);
    }
    if (options.continue_scan && (options.command != QLatin1String("scan") || !options.deep)) {
        return usage_error(QStringLiteral("--continue goes with 'scan --deep'"));
    }
    if (!options.save.isEmpty() && (options.command != QLatin1String("scan") || !options.deep)) {
        return usage_error(QStringLiteral("--save goes with 'scan --deep'"));
    }
    if (options.trust_scan_file && options.from.isEmpty()) {
        return usage_error(QStringLiteral("--trust-scan-file goes with 'restore --from'"));
    }
    if (!options.owner.isEmpty() && options.command != QLatin1String("restore")) {
        return usage_error(QStringLiteral("--owner goes with 'restore'"));
    }
    if (!options.from.isEmpty()) {
        if (options.command != QLatin1String("restore") || !options.positional.isEmpty()) {
            return usage_error(QStringLiteral("--from goes with 'restore' and no TARGET"));
        }
    } else if (takes_target && options.positional.size() != 1) {
        return usage_error(QStringLiteral("'%1' needs exactly one TARGET").arg(options.command));
    }
    if (options.command == QLatin1String("scan")) {
        return command_scan(options);
    }
    if (options.command == QLatin1String("partitions")) {
        if (!options.undo.isEmpty() && options.repair) {
            return usage_error(QStringLiteral("--undo and --repair do not go together"));
        }
        if (options.force && options.undo.isEmpty()) {
            return usage_error(QStringLiteral("--force goes with --undo"));
        }
        return command_partitions(options);
    }
    if (options.command == QLatin1String("restore")) {
        if (options.destination.isEmpty()) {
            return usage_error(QStringLiteral("restore needs --to DIR"));
        }
        return command_restore(options);
    }
    return usage_error(QStringLiteral("unknown command '%1'").arg(options.command));
}
