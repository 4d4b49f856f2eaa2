// orvane drives and orvane volumes, and the set-up they share with the scan commands.
#include "cli_commands.h"

#include "cli_setup.h"

#include "core/settings.h"
#include "device/disk_table.h"
#include "device/drive_list.h"
#include "device/platform/platform_device.h"
#include "device/volume_free_space.h"
#include "device/volume_list.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <limits>

void print_error(const QString& message) {
    // Messages quote names read from disks: escaped as the table's cells are.
    std::fprintf(stderr, "orvane: %s\n", table_cell(message).toUtf8().constData());
}

void print_line(const QString& line) {
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

void print_json(const QJsonObject& object) {
    print_line(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

bool add_cli_images(const cli_options_s& options) {
    platform::set_configured_images(settings_images());
    bool ok = true;
    for (const QString& image : options.images) {
        QString error;
        if (!platform::add_image(image, &error)) {
            print_error(error);
            ok = false;
        }
    }
    return ok;
}

QString table_cell(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        const QChar::Category kind = c.category();
        if (u == u'\\') {
            out += QLatin1String("\\\\");
        } else if (u == u'\n') {
            out += QLatin1String("\\n");
        } else if (u == u'\r') {
            out += QLatin1String("\\r");
        } else if (u == u'\t') {
            out += QLatin1String("\\t");
        } else if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
            out += QStringLiteral("\\x%1").arg(static_cast<int>(u), 2, 16, QLatin1Char('0'));
        } else if (kind == QChar::Other_Format || kind == QChar::Separator_Line ||
                   kind == QChar::Separator_Paragraph ||
                   (c.isSurrogate() &&
                    !(c.isHighSurrogate() && i + 1 < text.size() &&
                      text.at(i + 1).isLowSurrogate()) &&
                    !(c.isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate()))) {
            // Direction overrides, line separators and lone surrogates: shown as their number.
            out += QStringLiteral("\\u%1").arg(static_cast<int>(u), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

void widen_table(QList<int>* widths, const QStringList& row) {
    for (int c = 0; c < row.size(); ++c) {
        if (widths->size() <= c) {
            *widths << 0;
        }
        const int cap = c == 0 ? first_column_cap : std::numeric_limits<int>::max();
        const auto width = static_cast<int>(table_cell(row[c]).size());
        (*widths)[c] = std::max((*widths)[c], std::min(cap, width));
    }
}

void print_table_row(const QStringList& row, const QList<int>& widths) {
    QString line;
    for (int c = 0; c < row.size(); ++c) {
        const QString cell = table_cell(row[c]);
        line += cell;
        if (c + 1 < row.size()) {
            line += QString(std::max(0, widths.value(c) - static_cast<int>(cell.size())) + 2,
                            QLatin1Char(' '));
        }
    }
    print_line(line);
}

void print_table(const QList<QStringList>& rows) {
    QList<int> widths;
    for (const QStringList& row : rows) {
        widen_table(&widths, row);
    }
    for (const QStringList& row : rows) {
        print_table_row(row, widths);
    }
}

int command_drives(const cli_options_s& options) {
    if (!add_cli_images(options)) {
        return exit_usage;
    }
    enumerate_physical_drives();
    for (const QString& warning : platform::image_warnings()) {
        print_error(warning);
    }
    QList<QStringList> rows{{QStringLiteral("DRIVE"), QStringLiteral("SIZE"),
                             QStringLiteral("BYTES"), QStringLiteral("FORMAT"),
                             QStringLiteral("NAME")}};
    for (std::size_t r = 1; r < drive_list.size(); ++r) {
        const drive_item_s& d = drive_list[r];
        if (options.json) {
            QJsonObject geometry{
                {QStringLiteral("cylinders"), static_cast<qint64>(d.geometry->Cylinders)},
                {QStringLiteral("media_type"), static_cast<qint64>(d.geometry->MediaType)},
                {QStringLiteral("tracks_per_cylinder"),
                 static_cast<qint64>(d.geometry->TracksPerCylinder)},
                {QStringLiteral("sectors_per_track"),
                 static_cast<qint64>(d.geometry->SectorsPerTrack)},
                {QStringLiteral("bytes_per_sector"),
                 static_cast<qint64>(d.geometry->BytesPerSector)},
            };
            print_json(
                {{QStringLiteral("drive"), static_cast<qint64>(r - 1)},
                 {QStringLiteral("name"), d.name},
                 {QStringLiteral("size"), static_cast<qint64>(d.size)},
                 {QStringLiteral("ready"), d.size != 0},
                 {QStringLiteral("format"), d.format.isEmpty() ? QStringLiteral("disk") : d.format},
                 {QStringLiteral("geometry"), geometry}});
        } else {
            rows << QStringList{QString::number(r - 1),
                                d.size != 0 ? format_size(d.size) : QStringLiteral("not ready"),
                                QString::number(d.size),
                                d.format.isEmpty() ? QStringLiteral("disk") : d.format, d.name};
        }
    }
    if (!options.json) {
        print_table(rows);
    }
    return exit_ok;
}

int command_volumes(const cli_options_s& options) {
    if (!add_cli_images(options)) {
        return exit_usage;
    }
    enumerate_volumes();
    // Unmounted FAT, exFAT and NTFS volumes: the free space is read from the volume itself.
    fill_unknown_free_space(volume_list);
    for (const QString& warning : volume_warnings) {
        print_error(warning);
    }
    QList<QStringList> rows{{QStringLiteral("DISK"), QStringLiteral("PART"), QStringLiteral("FS"),
                             QStringLiteral("LABEL"), QStringLiteral("SIZE"),
                             QStringLiteral("FREE"), QStringLiteral("START"),
                             QStringLiteral("PATH")}};
    for (std::size_t r = 1; r < volume_list.size(); ++r) {
        const volume_item_s& v = volume_list[r];
        platform::volume_where_s where;
        const bool located = platform::locate_volume(v.volume_name, &where);
        if (options.json) {
            QJsonObject object{
                {QStringLiteral("device_name"), v.device_name},
                {QStringLiteral("volume_name"), v.volume_name},
                {QStringLiteral("label"), v.label},
                {QStringLiteral("file_system"), v.file_system},
                {QStringLiteral("path"), v.path},
                {QStringLiteral("total_bytes"), static_cast<qint64>(v.total_bytes)},
                {QStringLiteral("free_bytes"), v.free_known
                                                   ? QJsonValue(static_cast<qint64>(v.free_bytes))
                                                   : QJsonValue(QJsonValue::Null)},
                {QStringLiteral("partition_number"), v.partition_number},
                {QStringLiteral("disk_number"), v.disk_number},
            };
            if (located) {
                object.insert(QStringLiteral("start_sector"),
                              static_cast<qint64>(where.start_sector));
            }
            print_json(object);
        } else {
            rows << QStringList{QString::number(v.disk_number),
                                QString::number(v.partition_number),
                                v.file_system.isEmpty() ? QStringLiteral("-") : v.file_system,
                                v.label.isEmpty() ? QStringLiteral("-") : v.label,
                                format_size(v.total_bytes),
                                v.free_known ? format_size(v.free_bytes) : QStringLiteral("-"),
                                located ? QString::number(where.start_sector) : QStringLiteral("?"),
                                v.path};
        }
    }
    if (!options.json) {
        print_table(rows);
    }
    return exit_ok;
}
