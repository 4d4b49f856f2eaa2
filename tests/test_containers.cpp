// Disk images in containers (EWF, VHD, VHDX, VMDK, QCOW2) as drives: recognised by their
// content, listed with the same volumes as the raw disk, scanned and restored byte for byte
// through the same sector calls, and a plain error (never a crash) for a damaged one.
#include "test_support.h"

#include "device/platform/container_source.h"
#include "device/platform/platform_device.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QList<QJsonObject> json_lines(const QByteArray& out) {
    QList<QJsonObject> objects;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.trimmed().isEmpty()) {
            objects << QJsonDocument::fromJson(line).object();
        }
    }
    return objects;
}

// Relative path and SHA-256 of every file under a folder.
QMap<QString, QByteArray> tree_of(const QString& folder) {
    QMap<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(QDir(folder).relativeFilePath(path), sha256_of_file(path));
    }
    return tree;
}

// The volumes 'orvane volumes' lists for one image, without the image's own name.
QStringList volume_rows(const QString& image) {
    QByteArray out, err;
    if (run_orvane({"volumes", "--json", "--image", image}, &out, &err) != 0) {
        return {QString::fromUtf8(err)};
    }
    QStringList rows;
    for (const QJsonObject& v : json_lines(out)) {
        rows << QStringLiteral("%1 %2 %3 %4 %5 %6")
                    .arg(v["partition_number"].toInt())
                    .arg(v["file_system"].toString(), v["label"].toString())
                    .arg(v["start_sector"].toInteger())
                    .arg(v["total_bytes"].toInteger())
                    .arg(v["free_bytes"].toInteger());
    }
    return rows;
}

const char* const containers[][2] = {
    {"disk.E01", "EWF"},   {"disk.vhd", "VHD"},    {"disk.vhdx", "VHDX"},
    {"disk.vmdk", "VMDK"}, {"split.vmdk", "VMDK"}, {"disk.qcow2", "QCOW2"},
};

}  // namespace

class test_containers : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        if (!fixture_exists("containers/disk.E02")) {
            QSKIP("the container fixtures were not made");
        }
    }

    void containers_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("format");
        for (const auto& c : containers) {
            QTest::newRow(c[0]) << QString::fromLatin1(c[0]) << QString::fromLatin1(c[1]);
        }
    }

    // The format comes from the content: a copy under another name is the same container.
    void recognised_by_content_data() { containers_data(); }
    void recognised_by_content() {
        QFETCH(QString, file);
        QFETCH(QString, format);
        const QString path = fixture_path("containers/" + file);
        QCOMPARE(platform::image_format_name(platform::detect_image_format(path)), format);
        QTemporaryDir dir;
        if (!file.startsWith("split") && !file.endsWith("E01")) {
            const QString renamed = dir.filePath("disk.img");
            QVERIFY(QFile::copy(path, renamed));
            QCOMPARE(platform::image_format_name(platform::detect_image_format(renamed)), format);
        }
        QCOMPARE(platform::detect_image_format(fixture_path("containers/disk.raw")),
                 platform::image_format_e::raw);
    }

    // orvane drives: the container's format and the size of the disk inside; the volumes
    // are those of the raw disk, free space included (read through the container).
    void listed_like_the_raw_disk_data() { containers_data(); }
    void listed_like_the_raw_disk() {
        QFETCH(QString, file);
        QFETCH(QString, format);
        const QString path = fixture_path("containers/" + file);
        QByteArray out, err;
        QCOMPARE(run_orvane({"drives", "--json", "--image", path}, &out, &err), 0);
        const auto drives = json_lines(out);
        QCOMPARE(drives.size(), 1);
        QCOMPARE(drives[0]["format"].toString(), format);
        QCOMPARE(drives[0]["size"].toInteger(),
                 QFileInfo(fixture_path("containers/disk.raw")).size());
        const QStringList raw = volume_rows(fixture_path("containers/disk.raw"));
        QVERIFY(!raw.isEmpty());
        QCOMPARE(volume_rows(path), raw);
    }

    // Every deleted file comes back from the container exactly as from the raw disk, under
    // the same names, and the intact ones match the history of the volume.
    void restores_like_the_raw_disk_data() { containers_data(); }
    void restores_like_the_raw_disk() {
        QFETCH(QString, file);
        static QMap<QString, QByteArray> from_raw;
        QTemporaryDir dir;
        QByteArray out, err;
        if (from_raw.isEmpty()) {
            QCOMPARE(run_orvane({"restore", "--partition", "1", "--to", dir.filePath("raw"),
                                 fixture_path("containers/disk.raw")},
                                &out, &err),
                     0);
            from_raw = tree_of(dir.filePath("raw"));
        }
        QVERIFY(from_raw.size() > 10);
        QCOMPARE(run_orvane({"restore", "--partition", "1", "--to", dir.filePath("c"),
                             fixture_path("containers/" + file)},
                            &out, &err),
                 0);
        const QMap<QString, QByteArray> got = tree_of(dir.filePath("c"));
        QCOMPARE(got, from_raw);
        QFile manifest(fixture_path("fat/fat32.manifest"));
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        const QList<QByteArray> hashes = got.values();
        int intact = 0;
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() >= 4 && (f[0] == "deleted" || f[0] == "deleted-in-folder") &&
                f[2] != "0") {
                QVERIFY2(hashes.contains(f[1]), line.constData());
                ++intact;
            }
        }
        QVERIFY(intact >= 5);
    }

    // The sector interface reads the same bytes from a container as from the raw disk,
    // across chunk and grain boundaries and up to the last byte; past the end is an error.
    void reads_match_the_raw_disk_data() { containers_data(); }
    void reads_match_the_raw_disk() {
        QFETCH(QString, file);
        QString error;
        auto source = platform::open_drive(
            {fixture_path("containers/" + file), platform::drive_kind_e::image}, &error);
        QVERIFY2(source, qPrintable(error));
        QFile raw(fixture_path("containers/disk.raw"));
        QVERIFY(raw.open(QIODevice::ReadOnly));
        QCOMPARE(source->byte_size(), static_cast<std::uint64_t>(raw.size()));
        QCOMPARE(source->sector_size(), 512U);
        QVERIFY(!source->is_writable());
        QVERIFY(source->check_verify());
        const std::uint64_t size = source->byte_size();
        for (std::uint64_t at :
             {std::uint64_t{0}, std::uint64_t{32768 - 512}, std::uint64_t{1 << 20} - 4096,
              std::uint64_t{1048576 + 65536 - 7}, size - 200000, size - 512}) {
            const std::size_t len =
                static_cast<std::size_t>(std::min<std::uint64_t>(131072, size - at));
            QByteArray got(static_cast<qsizetype>(len), '\0');
            QCOMPARE(source->read_at(at, got.data(), len), 0);
            QVERIFY(raw.seek(static_cast<qint64>(at)));
            QCOMPARE(got, raw.read(static_cast<qint64>(len)));
        }
        char byte = 0;
        QCOMPARE(source->read_at(size, &byte, 1), -1);
        QCOMPARE(source->read_at(size - 511, &byte, 512), -1);
    }

    // Damaged containers: the image cannot be added, with the reason in words, or if its
    // header still reads, every read either works or fails cleanly. The tool never crashes.
    void damaged_containers_give_a_plain_error_data() {
        QTest::addColumn<QString>("file");
        const QDir bad(fixture_path("containers/bad"));
        for (const QString& name : bad.entryList(QDir::Files, QDir::Name)) {
            QTest::newRow(qPrintable(name)) << bad.filePath(name);
        }
    }
    void damaged_containers_give_a_plain_error() {
        QFETCH(QString, file);
        QByteArray out, err;
        const int code = run_orvane({"volumes", "--image", file}, &out, &err);
        QVERIFY2(code == 0 || code == 2, err.constData());
        if (code == 2) {
            QVERIFY2(err.startsWith("orvane: cannot read the ") && err.count('\n') == 1,
                     err.constData());
            QVERIFY2(!err.contains("libewf_") && !err.contains("libvhdi_") &&
                         !err.contains("libvmdk_") && !err.contains("libqcow_"),
                     err.constData());
            return;
        }
        // Opened: read the whole disk inside; some reads may fail, none may crash.
        QString error;
        auto source = platform::open_drive({file, platform::drive_kind_e::image}, &error);
        QVERIFY2(source, qPrintable(error));
        QByteArray chunk(1 << 20, '\0');
        const std::uint64_t size = std::min<std::uint64_t>(source->byte_size(), 1ULL << 30);
        for (std::uint64_t at = 0; at < size; at += static_cast<std::uint64_t>(chunk.size())) {
            const auto len = static_cast<std::size_t>(
                std::min<std::uint64_t>(static_cast<std::uint64_t>(chunk.size()), size - at));
            source->read_at(at, chunk.data(), len);
        }
        QCOMPARE(run_orvane({"restore", "--partition", "1", "--to", QDir::tempPath() + "/x-none",
                             "--match", "no-such-file", file},
                            &out, &err) >= 0,
                 true);
    }

    // The prober reads only parts of a container's disk; its answers must equal those for
    // the raw disk on tables with extended partitions, GPT and NTFS volumes too.
    void probed_like_the_raw_disk_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("format");
        for (const char* image : {"disks/mbr.img", "disks/gpt.img", "disks/floppy.img",
                                  "disks/overlap.img", "disks/badgpt.img"}) {
            for (const char* format : {"qcow2", "vmdk"}) {
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(image, format)))
                    << QString::fromLatin1(image) << QString::fromLatin1(format);
            }
        }
    }
    void probed_like_the_raw_disk() {
        QFETCH(QString, image);
        QFETCH(QString, format);
        QTemporaryDir dir;
        const QString raw = fixture_path(image);
        const QString container = dir.filePath("disk." + format);
        QCOMPARE(QProcess::execute("qemu-img",
                                   {"convert", "-q", "-f", "raw", "-O", format, raw, container}),
                 0);
        const auto describe = [](const platform::drive_probe_s& probe, const QString& name) {
            QStringList lines{probe.table_type};
            for (const platform::volume_desc_s& v : probe.volumes) {
                lines << QStringLiteral("%1 %2 %3 %4 %5")
                             .arg(v.partition_number)
                             .arg(v.start_sector)
                             .arg(v.byte_size)
                             .arg(v.file_system, v.label);
            }
            for (QString warning : probe.warnings) {
                lines << warning.replace(name, QStringLiteral("DISK"));
            }
            return lines;
        };
        const QString canonical = QFileInfo(container).canonicalFilePath();
        QCOMPARE(
            describe(platform::probe_drive({canonical, platform::drive_kind_e::image}), canonical),
            describe(platform::probe_drive({raw, platform::drive_kind_e::image}), raw));
    }
};

QTEST_GUILESS_MAIN(test_containers)
#include "test_containers.moc"
