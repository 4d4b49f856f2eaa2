// The free space of unmounted FAT and NTFS volumes, read from the volume itself, against
// what fsck.fat and a mounted ntfs-3g report for the same images.
#include "device/volume_free_space.h"
#include "device/volume_list.h"
#include "test_support.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <sys/statvfs.h>

namespace {

bool run(const QString& program, const QStringList& arguments, QString* out = nullptr) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        return false;
    }
    if (out) {
        *out = QString::fromLocal8Bit(process.readAllStandardOutput());
    }
    return process.exitCode() == 0;
}

volume_reader_f file_reader(const QByteArray& bytes) {
    return [&bytes](std::uint64_t offset, void* buffer, std::size_t len) {
        if (offset > static_cast<std::uint64_t>(bytes.size()) ||
            len > static_cast<std::uint64_t>(bytes.size()) - offset) {
            return -1;
        }
        std::memcpy(buffer, bytes.constData() + offset, len);
        return 0;
    };
}

QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class test_volume_free_space : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    // mkfs.fat on a new image with one file copied in by mcopy; the free bytes that
    // fsck.fat -v counts ("used/total clusters" and the cluster size).
    QString make_fat(const QString& name, int mib, const QString& bits, std::uint64_t* expected) {
        const QString image = dir.filePath(name);
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(mib) * 1024 * 1024)) {
            return {};
        }
        file.close();
        QString out;
        if (!run("mkfs.fat", {"-F", bits, "-n", "ORVFREE", image}) ||
            !run("mcopy", {"-i", image, "/usr/share/common-licenses/GPL-3", "::GPL.TXT"}) ||
            !run("fsck.fat", {"-n", "-v", image}, &out)) {
            return {};
        }
        const auto clusters = QRegularExpression(R"((\d+)/(\d+) clusters)").match(out);
        const auto size = QRegularExpression(R"((\d+) bytes per cluster)").match(out);
        if (!clusters.hasMatch() || !size.hasMatch()) {
            return {};
        }
        *expected = (clusters.captured(2).toULongLong() - clusters.captured(1).toULongLong()) *
                    size.captured(1).toULongLong();
        return image;
    }

  private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // FAT12, FAT16 and FAT32 agree with fsck.fat; a FAT32 FSInfo count that is unset or
    // impossible is not trusted and the FAT is counted instead; one that is valid is used.
    void fat_matches_fsck_data() {
        QTest::addColumn<QString>("bits");
        QTest::addColumn<int>("mib");
        QTest::addColumn<int>("fsinfo");  // 0 as made, 1 unset, 2 beyond the cluster count
        QTest::newRow("FAT12") << "12" << 2 << 0;
        QTest::newRow("FAT16") << "16" << 24 << 0;
        QTest::newRow("FAT32") << "32" << 40 << 0;
        QTest::newRow("FAT32, FSInfo unset") << "32" << 40 << 1;
        QTest::newRow("FAT32, FSInfo impossible") << "32" << 40 << 2;
    }
    void fat_matches_fsck() {
        QFETCH(QString, bits);
        QFETCH(int, mib);
        QFETCH(int, fsinfo);
        std::uint64_t expected = 0;
        const QString image =
            make_fat(QStringLiteral("fat%1-%2.img").arg(bits).arg(fsinfo), mib, bits, &expected);
        if (image.isEmpty()) {
            QSKIP("mkfs.fat, mcopy or fsck.fat did not run");
        }
        QByteArray bytes = read_file(image);
        if (fsinfo != 0) {
            // FSInfo is sector 1; FSI_Free_Count at 488
            const quint32 value = fsinfo == 1 ? 0xFFFFFFFFU : 0x7FFFFFF0U;
            qToLittleEndian(value, bytes.data() + 512 + 488);
        }
        std::uint64_t free = 0;
        QVERIFY(fat_free_bytes(file_reader(bytes), bytes.size(), &free));
        QCOMPARE(free, expected);
        QVERIFY(free > 0 && free < static_cast<std::uint64_t>(bytes.size()));
        if (fsinfo == 0 && bits == "32") {
            // a valid FSInfo count is used as it stands, even when the FAT says otherwise
            qToLittleEndian(quint32(7), bytes.data() + 512 + 488);
            QVERIFY(fat_free_bytes(file_reader(bytes), bytes.size(), &free));
            QCOMPARE(free, 7ULL * 512);
        }
    }

    // Volumes whose structures cannot tell are refused, never reported as empty or full.
    void damaged_volumes_are_refused_data() {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("value");
        QTest::newRow("no sectors per cluster") << 13 << 0;
        QTest::newRow("sector size 3") << 11 << 3;
        QTest::newRow("no FAT") << 16 << 0;
    }
    void damaged_volumes_are_refused() {
        QFETCH(int, offset);
        QFETCH(int, value);
        std::uint64_t expected = 0;
        const QString image = make_fat("damaged.img", 2, "12", &expected);
        if (image.isEmpty()) {
            QSKIP("mkfs.fat, mcopy or fsck.fat did not run");
        }
        QByteArray bytes = read_file(image);
        bytes[offset] = static_cast<char>(value);
        if (offset == 11) {
            bytes[12] = 0;
        }
        std::uint64_t free = 12345;
        QVERIFY(!fat_free_bytes(file_reader(bytes), bytes.size(), &free));
        QVERIFY(!ntfs_free_bytes(file_reader(bytes), bytes.size(), &free));
        QCOMPARE(free, 12345ULL);
        // a volume cut short cannot be read to its end
        QVERIFY(!fat_free_bytes(file_reader(read_file(image).left(1024)), bytes.size(), &free));
    }

    // NTFS: the clear bits of $Bitmap are what df shows for the same image mounted through
    // ntfs-3g; the volume list and the orvane tool show that figure for the unmounted image.
    void ntfs_matches_df_through_ntfs_3g() {
        const QString image = dir.filePath("ntfs.img");
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(24 * 1024 * 1024));
        file.close();
        if (!run("/usr/sbin/mkntfs", {"-F", "-Q", "-q", "-L", "ORVFREE", image})) {
            QSKIP("mkntfs did not run");
        }
        const QString mount_point = dir.filePath("mnt");
        QDir().mkpath(mount_point);
        if (!run("ntfs-3g", {image, mount_point})) {
            QSKIP("ntfs-3g cannot mount here (FUSE or root missing)");
        }
        QFile::copy("/usr/share/common-licenses/GPL-3", mount_point + "/GPL-3");
        struct statvfs vfs {};
        const bool stated = ::statvfs(QFile::encodeName(mount_point).constData(), &vfs) == 0;
        const std::uint64_t df_free = std::uint64_t(vfs.f_bfree) * vfs.f_frsize;
        QVERIFY(run("umount", {mount_point}));
        QVERIFY(stated);
        // df again after the unmount: ntfs-3g wrote the file's clusters before it ended
        QVERIFY(run("ntfs-3g", {"-o", "ro", image, mount_point}));
        struct statvfs again {};
        QVERIFY(::statvfs(QFile::encodeName(mount_point).constData(), &again) == 0);
        QVERIFY(run("umount", {mount_point}));
        QCOMPARE(std::uint64_t(again.f_bfree) * again.f_frsize, df_free);

        const QByteArray bytes = read_file(image);
        std::uint64_t free = 0;
        QVERIFY(ntfs_free_bytes(file_reader(bytes), bytes.size(), &free));
        QCOMPARE(free, df_free);
        QVERIFY(!fat_free_bytes(file_reader(bytes), bytes.size(), &free));

        use_images({image});
        enumerate_volumes();
        QCOMPARE(volume_list.size(), std::size_t(2));
        QVERIFY(!volume_list[1].free_known);
        QCOMPARE(fill_unknown_free_space(volume_list), 1);
        QVERIFY(volume_list[1].free_known);
        QCOMPARE(volume_list[1].free_bytes, df_free);

        QByteArray out, err;
        QCOMPARE(run_orvane({"volumes", "--json", "--image", image}, &out, &err), 0);
        QVERIFY2(
            out.contains(QByteArray("\"free_bytes\":") + QByteArray::number(qulonglong(df_free))),
            out.constData());
    }

    // Free space that cannot be read stays unknown: the tool prints "-" and JSON null.
    void unknown_free_space_is_not_zero() {
        const QString image = dir.filePath("blank.img");
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(1024 * 1024));
        file.close();
        if (!run("mkfs.ext2", {"-q", "-F", image})) {
            QSKIP("mkfs.ext2 did not run");
        }
        QByteArray out, err;
        QCOMPARE(run_orvane({"volumes", "--image", image}, &out, &err), 0);
        const QStringList row = QString::fromUtf8(out).split('\n').value(1).simplified().split(' ');
        QCOMPARE(row.value(2), QStringLiteral("ext2"));
        QCOMPARE(row.value(5), QStringLiteral("-"));
        QCOMPARE(run_orvane({"volumes", "--json", "--image", image}, &out, &err), 0);
        QVERIFY2(out.contains("\"free_bytes\":null"), out.constData());
    }
};

QTEST_GUILESS_MAIN(test_volume_free_space)
#include "test_volume_free_space.moc"
