// orvane partitions: search a whole drive for lost partitions (NTFS, FAT, exFAT, ext2/3/4,
// XFS, btrfs, swap) and surviving GPTs, list them as they are found, and on request write
// a new table for them.
#include "cli_commands.h"
#include "cli_setup.h"

#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "device/platform/platform_write.h"
#include "partition/master_boot_record.h"
#include "partition/partition_repair.h"
#include "partition/partition_search.h"
#include "partition/repair_undo.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

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

// The drive a DRIVE argument names: its number in 'orvane drives', its name there, or an
// image file, which is added as a drive. Returns false after printing why.
bool find_drive(const QString& argument, drive_item_s* drive) {
    enumerate_physical_drives();
    bool number = false;
    const int n = argument.toInt(&number);
    if (number && !QFileInfo::exists(argument)) {
        if (n < 0 || static_cast<std::size_t>(n) + 1 >= drive_list.size()) {
            print_error(QStringLiteral("there is no drive %1; 'orvane drives' lists them").arg(n));
            return false;
        }
        *drive = drive_list[static_cast<std::size_t>(n) + 1];
        return true;
    }
    const QFileInfo info(argument);
    const QString canonical = info.exists() ? info.canonicalFilePath() : argument;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t r = 1; r < drive_list.size(); ++r) {
            if (drive_list[r].name == argument || drive_list[r].name == canonical) {
                *drive = drive_list[r];
                return true;
            }
        }
        if (pass == 0) {
            if (!info.exists()) {
                break;
            }
            QString error;
            if (!platform::add_image(argument, &error)) {
                print_error(error);
                return false;
            }
            enumerate_physical_drives();
        }
    }
    if (info.exists()) {
        print_error(
            QStringLiteral("'%1' cannot be used: only ten drives are listed").arg(argument));
    } else {
        print_error(QStringLiteral("no drive or image '%1'; 'orvane drives' lists the drives")
                        .arg(argument));
    }
    return false;
}

// A sector number for JSON; an absurd one from a damaged boot sector stays positive.
QJsonValue sector_value(std::uint64_t sector) {
    return sector <= INT64_MAX ? QJsonValue(static_cast<qint64>(sector))
                               : QJsonValue(static_cast<double>(sector));
}

QString type_code(std::int32_t type) {
    return QStringLiteral("%1").arg(type, 2, 16, QLatin1Char('0'));
}

// One JSON object per partition: `scheme` is the table a repair writes it into ("gpt" or
// "mbr"); `type_guid`, `name` and `unique_guid` where a GPT entry (or, for type_guid, the
// file system) gives them.
void print_json_item(const partition_item_s& item, const QString& scheme) {
    QJsonObject object{{QStringLiteral("fs_name"), item.fs_name},
                       {QStringLiteral("partition_type"), item.partition_type},
                       {QStringLiteral("start_sector"), sector_value(item.start_sector)},
                       {QStringLiteral("end_sector"), sector_value(item.end_sector)},
                       {QStringLiteral("scheme"), scheme}};
    if (!item.type_guid.isEmpty()) {
        object.insert(QStringLiteral("type_guid"), item.type_guid);
    }
    if (item.from_table) {
        if (!item.unique_guid.isEmpty()) {
            object.insert(QStringLiteral("name"), item.name);
            object.insert(QStringLiteral("unique_guid"), item.unique_guid);
        }
        object.insert(QStringLiteral("from_table"), true);
        object.insert(QStringLiteral("confirmed"), item.confirmed);
    }
    if (item.earlier) {
        object.insert(QStringLiteral("earlier"), true);
    }
    object.insert(QStringLiteral("sector_bytes"), qint64(item.sector_bytes));
    if (item.logical) {
        object.insert(QStringLiteral("logical"), true);
    }
    print_json(object);
}

void print_item(const partition_item_s& item, const drive_item_s& drive, bool json) {
    if (json) {
        return;  // printed with the scheme once the search has ended
    }
    const std::uint64_t sectors = item.end_sector - item.start_sector + 1;
    const std::uint64_t sector_bytes = item.sector_bytes;
    QString line =
        QStringLiteral("%1 %2  %3 %4 %5")
            .arg(item.fs_name, -7)
            .arg(type_code(item.partition_type), -4)
            .arg(item.start_sector, 12)
            .arg(item.end_sector, 12)
            .arg(sectors > UINT64_MAX / sector_bytes ? QStringLiteral("?")
                                                     : format_size(sectors * sector_bytes),
                 10);
    if (item.end_sector >= drive.size / sector_bytes) {
        line += QStringLiteral("  (runs past the end of the drive)");
    }
    if (item.from_table) {
        line += item.confirmed ? QStringLiteral("  in the table, confirmed")
                               : QStringLiteral("  in the table, no file system at its start");
        if (!item.unique_guid.isEmpty()) {
            line += QStringLiteral("  GPT: %1")
                        .arg(item.name.isEmpty() ? QStringLiteral("(no name)") : item.name);
        }
    } else if (item.earlier) {
        line += QStringLiteral("  earlier, overlapping an entry of the table (never written)");
    }
    if (item.logical) {
        line += QStringLiteral("  logical");
    }
    print_line(line);
}

// What the search learnt about the drive's tables, as one line under the list.
QString describe_tables(const disk_layout_s& layout) {
    QString text =
        QStringLiteral("table: %1")
            .arg(layout.scheme == QLatin1String("gpt") ? QStringLiteral("GPT")
                                                       : QStringLiteral("master boot record"));
    if (layout.sector_bytes != 512) {
        text += QStringLiteral(" in %1-byte sectors").arg(layout.sector_bytes);
    }
    if (layout.primary_ok && layout.backup_ok) {
        text += QStringLiteral(" (both GPT copies hold)");
    } else if (layout.backup_ok) {
        text += QStringLiteral(" (the backup GPT survives; a repair writes the table from it)");
    } else if (layout.primary_ok) {
        text += QStringLiteral(" (the primary GPT survives; its backup is lost)");
    } else if (layout.existing.scheme == QLatin1String("mbr")) {
        const qsizetype entries = layout.existing.partitions().size();
        text += QStringLiteral(" (it %1 %2 %3; a repair keeps them)")
                    .arg(layout.existing.intact ? QStringLiteral("holds")
                                                : QStringLiteral("is damaged but keeps"))
                    .arg(entries)
                    .arg(entries == 1 ? QStringLiteral("entry") : QStringLiteral("entries"));
    } else if (layout.extended_first != 0) {
        text += QStringLiteral(" (extended boot records survive from sector %1)")
                    .arg(layout.extended_first);
    } else {
        text += QStringLiteral(" (none survives; a repair builds a new one)");
    }
    return text;
}

// Asks on the terminal; false unless the user answers yes.
bool confirm(const QString& question) {
    std::fprintf(stderr, "%s [y/N] ", question.toUtf8().constData());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        return false;
    }
    const QString reply = QString::fromStdString(answer).trimmed().toLower();
    return reply == QLatin1String("y") || reply == QLatin1String("yes");
}

// A GPT, or a master boot record with an extended entry over a surviving chain: the whole
// table is planned and written at once.
int repair_table(partition_repair_c& worker, const drive_item_s& drive,
                 const cli_options_s& options, const disk_layout_s& layout) {
    // Planned once: the question lists the entries the repair then writes.
    const table_plan_s plan = worker.plan_repair();
    if (plan.writes.isEmpty()) {
        print_error(QStringLiteral("%1; nothing was written").arg(plan.error));
        return exit_failed;
    }
    if (!options.yes) {
        QString question =
            QStringLiteral("%1 %2 on %3 (%4) with these entries?\n")
                .arg(plan.restored ? QStringLiteral("Write the GPT back from its surviving copy")
                     : !plan.kept.isEmpty() ? QStringLiteral("Add to the partition table")
                     : layout.scheme == QLatin1String("gpt")
                         ? QStringLiteral("Write a new GPT")
                         : QStringLiteral("Write a new master boot record"),
                     layout.scheme == QLatin1String("gpt")
                         ? QStringLiteral("(protective MBR, both headers and entry arrays)")
                         : QStringLiteral("(sector 0)"),
                     drive.name, format_size(drive.size));
        auto lines = [&question](const QString& what, const QList<partition_item_s>& items) {
            for (const partition_item_s& item : items) {
                question += QStringLiteral("  %1: %2, sectors %3 to %4%5\n")
                                .arg(what, item.fs_name)
                                .arg(item.start_sector)
                                .arg(item.end_sector)
                                .arg(item.name.isEmpty() || item.name == item.fs_name
                                         ? QString()
                                         : QStringLiteral(" \"%1\"").arg(item.name));
            }
        };
        lines(QStringLiteral("stays"), plan.kept);
        lines(QStringLiteral("added"), plan.added);
        lines(QStringLiteral("removed"), plan.removed);
        if (!confirm(question +
                     QStringLiteral("Every sector it replaces is saved to a file first."))) {
            print_error(QStringLiteral("nothing was written"));
            return exit_failed;
        }
    }
    const int result = worker.repair_table();
    for (const partition_item_s& item : worker.left_out()) {
        print_error(
            QStringLiteral("the %1 partition at sectors %2-%3 has no entry in the new table")
                .arg(item.fs_name)
                .arg(item.start_sector)
                .arg(item.end_sector));
    }
    if (!worker.backup_path().isEmpty()) {
        const bool sector0 = plan.writes.size() == 1 && plan.writes[0].lba == 0 &&
                             plan.writes[0].bytes.size() == 512;
        print_error((sector0 ? QStringLiteral("the old sector 0 was saved to %1; to put it back: "
                                              "orvane partitions --undo %1 %2")
                             : QStringLiteral("the replaced sectors were saved to %1; to put "
                                              "them back: orvane partitions --undo %1 %2"))
                        .arg(worker.backup_path(), drive.name));
    }
    if (result != 0) {
        print_error(QStringLiteral("repair failed: %1").arg(worker.repair_error()));
        return exit_failed;
    }
    const qsizetype entries = worker.described().size();
    if (options.json) {
        print_json({{QStringLiteral("repaired"), drive.name},
                    {QStringLiteral("scheme"), worker.repair_scheme()},
                    {QStringLiteral("restored"), plan.restored},
                    {QStringLiteral("entries"), entries},
                    {QStringLiteral("backup"), worker.backup_path()}});
    } else {
        print_line(
            QStringLiteral("wrote %1 with %2 %3 to %4")
                .arg(plan.restored          ? QStringLiteral("the GPT from its surviving copy")
                     : !plan.kept.isEmpty() ? QStringLiteral("the partition table")
                     : worker.repair_scheme() == QLatin1String("gpt")
                         ? QStringLiteral("a new GPT")
                         : QStringLiteral("a new master boot record"))
                .arg(entries)
                .arg(entries == 1 ? QStringLiteral("partition") : QStringLiteral("partitions"))
                .arg(drive.name));
    }
    if (!worker.table_reread()) {
        print_error(QStringLiteral("the kernel keeps the old partition table until %1 is "
                                   "attached again (or partprobe is run)")
                        .arg(drive.name));
    }
    return exit_ok;
}

int repair(partition_repair_c& worker, const drive_item_s& drive, const cli_options_s& options) {
    if (const QString holds = worker.table_holds(); !holds.isEmpty()) {
        print_error(QStringLiteral("%1; nothing was written").arg(holds));
        return exit_nothing_to_repair;
    }
    if (const QString refused = worker.repair_refusal(); !refused.isEmpty()) {
        print_error(QStringLiteral("%1; nothing was written").arg(refused));
        return exit_failed;
    }
    return repair_table(worker, drive, options, worker.disk_layout());
}

// orvane partitions --undo BACKUP DRIVE: the sectors a repair replaced, put back.
int undo(const drive_item_s& drive, const cli_options_s& options) {
    if (!options.yes &&
        !confirm(QStringLiteral("Put the sectors saved in %1 back on %2 (%3)?%4")
                     .arg(options.undo, drive.name, format_size(drive.size),
                          options.force ? QStringLiteral(" (--force: whatever the drive holds "
                                                         "there now)")
                                        : QString()))) {
        print_error(QStringLiteral("nothing was written"));
        return exit_failed;
    }
    undo_report_s report;
    const int result =
        undo_repair(options.undo, platform::drive_by_name(drive.name), options.force, &report);
    if (!report.backup_path.isEmpty()) {
        print_error(
            QStringLiteral("what the undo replaced was saved to %1").arg(report.backup_path));
    }
    if (result != 0) {
        print_error(QStringLiteral("undo failed: %1").arg(report.error));
        return exit_failed;
    }
    if (options.json) {
        print_json({{QStringLiteral("undone"), drive.name},
                    {QStringLiteral("sectors"), report.sectors},
                    {QStringLiteral("backup"), report.backup_path}});
    } else {
        print_line(
            QStringLiteral("put back %1 %2 from %3 on %4")
                .arg(report.sectors)
                .arg(report.sectors == 1 ? QStringLiteral("sector") : QStringLiteral("sectors"))
                .arg(options.undo, drive.name));
    }
    if (!report.table_reread) {
        print_error(QStringLiteral("the kernel keeps the old partition table until %1 is "
                                   "attached again (or partprobe is run)")
                        .arg(drive.name));
    }
    return exit_ok;
}

}  // namespace

int command_partitions(const cli_options_s& options) {
    if ((options.repair || !options.undo.isEmpty()) && !options.yes &&
        (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO))) {
        // Refused before the search, which may take hours on a large drive.
        print_error(
            QStringLiteral("%1 asks for confirmation on a terminal; pass --yes to go on "
                           "without asking. Nothing was searched or written.")
                .arg(options.repair ? QStringLiteral("--repair") : QStringLiteral("--undo")));
        return exit_usage;
    }
    if (!add_cli_images(options)) {
        return exit_usage;
    }
    drive_item_s drive;
    if (!find_drive(options.positional.first(), &drive)) {
        return exit_usage;
    }
    if (!options.undo.isEmpty()) {
        return undo(drive, options);
    }
    partition_repair_c worker;
    worker.set_drive(drive);
    catch_interrupt();
    const bool show_progress = ::isatty(STDERR_FILENO);
    {
        // The table on the drive first: what a repair keeps.
        QString error;
        auto source = platform::open_drive(platform::drive_by_name(drive.name), &error);
        if (source && !options.json) {
            print_line(describe_existing_table(read_table_on(*source)));
        }
    }
    if (!options.json) {
        print_line(QStringLiteral("%1 %2  %3 %4 %5")
                       .arg(QStringLiteral("FS"), -7)
                       .arg(QStringLiteral("TYPE"), -4)
                       .arg(QStringLiteral("FIRST"), 12)
                       .arg(QStringLiteral("LAST"), 12)
                       .arg(QStringLiteral("SIZE"), 10));
    }
    std::fflush(stdout);
    worker.start(QThread::InheritPriority);
    qsizetype printed = 0;
    std::uint32_t printed_in = 0;  // the sector size the lines printed so far count
    auto print_new = [&] {
        for (; printed < worker.partition_count(); ++printed) {
            if (show_progress) {
                std::fputs("\r\033[K", stderr);
            }
            const partition_item_s item = worker.partition_at(printed);
            printed_in = printed_in == 0 ? item.sector_bytes : printed_in;
            print_item(item, drive, options.json);
            std::fflush(stdout);
        }
    };
    bool done = false;
    while (!done) {
        done = worker.wait(200);
        if (interrupted) {
            worker.request_stop();
        }
        print_new();
        if (show_progress && !done) {
            const double progress = worker.search_progress.load();
            std::fprintf(
                stderr, "\rsearching %s: %3d%%  %s of %s ", drive.name.toUtf8().constData(),
                static_cast<int>(progress * 100),
                format_size(static_cast<std::uint64_t>(progress * drive.size)).toUtf8().constData(),
                format_size(drive.size).toUtf8().constData());
        }
    }
    if (show_progress) {
        std::fputs("\r\033[K", stderr);
    }
    if (const QList<partition_item_s> all = worker.partitions();
        !options.json && !all.isEmpty() && all.first().sector_bytes != printed_in) {
        // An image without a table, whose file systems tell its sector size at the end.
        print_line(QStringLiteral("its file systems were made for %1-byte sectors; in them:")
                       .arg(all.first().sector_bytes));
        for (const partition_item_s& item : all) {
            print_item(item, drive, false);
        }
    }
    if (!worker.search_error().isEmpty()) {
        print_error(worker.search_error());
        return exit_failed;
    }
    if (const std::uint64_t bad = worker.unreadable_sectors.load(); bad > 0) {
        print_error(QStringLiteral("%1 sectors could not be read and were skipped").arg(bad));
    }
    const disk_layout_s layout = worker.disk_layout();
    if (options.json) {
        for (const partition_item_s& item : worker.partitions()) {
            print_json_item(item, layout.scheme);
        }
    } else if (!layout.scheme.isEmpty()) {
        print_line(describe_tables(layout));
    }
    if (!layout.gpt_problem.isEmpty()) {
        print_error(QStringLiteral("a GPT was seen but not taken: %1").arg(layout.gpt_problem));
    }
    if (worker.search_stopped()) {
        print_error(QStringLiteral("search interrupted; the list above is what was found so far"));
        return exit_failed;
    }
    if (options.repair) {
        return repair(worker, drive, options);
    }
    if (!options.json && printed == 0) {
        print_error(QStringLiteral("no partition was found on %1").arg(drive.name));
    }
    return exit_ok;
}
