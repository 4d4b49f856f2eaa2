// Our boot loader under qemu (software emulation, no display): a repaired disk boots into
// its active partition's boot sector, and broken ones print exactly one message.
// SeaBIOS mirrors the BIOS text output to the serial port (fw_cfg etc/sercon-port); the
// test boot sector writes its marker straight to COM1.
#include "partition_image.h"
#include "test_support.h"

#include "partition/partition_repair.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

// The serial text after SeaBIOS's "Booting from Hard Disk...". SeaBIOS mirrors its screen
// lazily, so the dots and line end of that line may still be pending when the boot sector
// writes to the port itself.
QString after_handover(const QByteArray& serial) {
    const QString all = QString::fromLatin1(serial);
    const qsizetype at = all.indexOf("Booting from Hard Disk");
    if (at < 0) {
        return {};
    }
    QString rest = all.mid(at + 22);
    while (rest.startsWith('.')) {
        rest.remove(0, 1);
    }
    return rest.trimmed();
}

const char marker[] = "ORVANE TEST BOOT SECTOR REACHED";

// What was printed after SeaBIOS handed over to the disk, once `expected` shows up or the
// time runs out.
QString boot_and_read(const QString& qemu, const QString& image, const QString& folder,
                      const QString& expected) {
    const QString serial = folder + "/serial.txt";
    const QString port = folder + "/sercon-port";
    QFile port_file(port);
    port_file.open(QIODevice::WriteOnly);
    port_file.write(QByteArray("\xF8\x03", 2));  // 0x3F8, COM1
    port_file.close();
    QFile::remove(serial);
    QProcess process;
    process.start(qemu,
                  {"-accel", "tcg", "-display", "none", "-no-reboot", "-nic", "none", "-m", "16",
                   "-monitor", "none", "-drive", "file=" + image + ",format=raw,if=ide", "-serial",
                   "file:" + serial, "-fw_cfg", "name=etc/sercon-port,file=" + port});
    if (!process.waitForStarted(10000)) {
        return QStringLiteral("qemu did not start");
    }
    QString printed;
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        QFile file(serial);
        if (file.open(QIODevice::ReadOnly)) {
            printed = after_handover(file.readAll());
            if (printed.contains(expected)) {
                QThread::msleep(300);  // anything printed after it would show up too
                file.seek(0);
                printed = after_handover(file.readAll());
                break;
            }
        }
        QThread::msleep(100);
    }
    process.kill();
    process.waitForFinished(5000);
    return printed;
}

}  // namespace

class test_mbr_boot : public QObject {
    Q_OBJECT

    QString qemu;
    QTemporaryDir state;

  private slots:
    void initTestCase() {
        qemu = QStandardPaths::findExecutable("qemu-system-i386");
        if (qemu.isEmpty()) {
            QSKIP("qemu-system-i386 is not installed (Debian package qemu-system-x86)");
        }
        QVERIFY2(QFile::exists(TEST_BOOT_SECTOR), TEST_BOOT_SECTOR);
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    }

    void boots_data() {
        QTest::addColumn<int>("damage");
        QTest::addColumn<QString>("expected");
        QTest::newRow("active partition") << 0 << QString(marker);
        QTest::newRow("no active entry") << 1 << "Invalid partition table";
        QTest::newRow("two active entries") << 2 << "Invalid partition table";
        QTest::newRow("boot sector without 0x55 0xAA") << 3 << "Missing operating system";
        QTest::newRow("boot sector past the end of the disk")
            << 4 << "Error loading operating system";
        // The loader told the extensions are missing reads by cylinder, head and sector; the
        // disk is over 4 GiB so that SeaBIOS, like BIOSes of such disks, uses 255 heads.
        QTest::newRow("read by CHS") << 5 << QString(marker);
    }
    void boots() {
        QFETCH(int, damage);
        QFETCH(QString, expected);
        QFile boot(TEST_BOOT_SECTOR);
        QVERIFY(boot.open(QIODevice::ReadOnly));
        QByteArray disk(8192 * 512, '\0');
        put_sector(disk, 2048, boot.readAll());
        put_sector(disk, 2048 + test_ntfs_mft, mft_record());
        QTemporaryDir dir;
        const QString image = dir.filePath("boot.img");
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(disk);
        file.close();

        partition_repair_c worker;
        drive_item_s drive;
        drive.name = image;
        drive.size = std::uint64_t(disk.size());
        worker.set_drive(drive);
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(worker.partition_count(), 1);
        QCOMPARE(worker.repair_mbr(), 0);

        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray mbr = file.read(512);
        switch (damage) {
            case 1:
                mbr[446] = 0;
                break;
            case 2:
                mbr.replace(462, 16, mbr.mid(446, 16));
                break;
            case 3:
                file.seek(2048 * 512 + 510), file.write(QByteArray(2, '\0'));
                break;
            case 4:
                qToLittleEndian<quint32>(100000, mbr.data() + 454);
                break;
            case 5: {
                const qsizetype at = mbr.left(440).indexOf(QByteArray("\x81\xFB\x55\xAA", 4));
                QVERIFY(at > 0);  // cmp bx, 0xAA55 after INT 13h AH=41h
                mbr[at + 2] = mbr[at + 3] = 0;
                QVERIFY(file.resize(5LL << 30));
                break;
            }
        }
        file.seek(0);
        file.write(mbr);
        file.close();
        QCOMPARE(boot_and_read(qemu, image, dir.path(), expected), expected);
    }
};

QTEST_GUILESS_MAIN(test_mbr_boot)
#include "test_mbr_boot.moc"
