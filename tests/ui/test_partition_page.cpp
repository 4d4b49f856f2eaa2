// The partition page: its rows, the bar, and the search it runs: start, stop, restart and
// the repair with its answers, on a disk image with a FAT32 and an NTFS partition; and the
// repair and its undo from the page on GPT and MBR disks whose tables were lost.
#include "app/ui/init.h"
#include "app/ui/main_window.h"
#include "core/settings.h"
#include "device/drive_list.h"
#include "partition/ui/partition_delegate.h"
#include "partition/ui/partition_model.h"
#include "partition/ui/partition_window.h"
#include "test_support.h"
#include "ui/ui_test_support.h"
#include "ui_partition_window.h"

#include <QAbstractItemModelTester>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 ntfs_start = 2048;
constexpr qint64 ntfs_sectors = 32768;  // 16 MiB
constexpr qint64 fat_start = 40960;
constexpr qint64 fat_sectors = 69632;  // 34 MiB

bool copy_into(const QString& part, const QString& disk, qint64 sector) {
    QFile in(part);
    QFile out(disk);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::ReadWrite) ||
        !out.seek(sector * 512)) {
        return false;
    }
    return out.write(in.readAll()) == in.size();
}

bool make_file(const QString& path, qint64 bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(bytes);
}

QString run_tool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(60000);
    return QString::fromLocal8Bit(process.readAll());
}

// Whether two files hold the same bytes (cmp reads a sparse gigabyte in a moment).
bool same_bytes(const QString& a, const QString& b) {
    return QProcess::execute(QStringLiteral("cmp"), {QStringLiteral("-s"), a, b}) == 0;
}

QString system_tool(const QString& name) {
    return QStandardPaths::findExecutable(
        name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin")});
}

// One partition as make_gpt_disks.sh made it: "fs first last type_guid unique_guid name".
struct made_partition_s {
    QString fs;
    quint64 first = 0;
    quint64 last = 0;
    QString unique_guid;
    QString name;
};

QList<made_partition_s> made_partitions(const QString& image) {
    QList<made_partition_s> out;
    QFile file(
        fixture_path(QStringLiteral("gpt/") +
                     QString(image).replace(QLatin1String(".img"), QLatin1String(".expected"))));
    if (!file.open(QIODevice::ReadOnly)) {
        return out;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 6) {
            out << made_partition_s{
                QString::fromLatin1(f[0]), f[1].toULongLong(), f[2].toULongLong(),
                QString::fromLatin1(f[4]),
                QString::fromUtf8(f[5]).replace(QLatin1Char('_'), QLatin1Char(' '))};
        }
    }
    return out;
}

}  // namespace

class test_partition_page : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString disk;
    std::unique_ptr<main_window_c> window;

    partition_window_c* page() { return window->partition_page; }
    drive_item_s drive_of(const QString& path) {
        use_images({path});
        enumerate_physical_drives();
        return drive_list.at(1);
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        qputenv("XDG_STATE_HOME", dir.filePath("state").toUtf8());
        // A 64 MiB sparse disk without a partition table: NTFS at 2048, FAT32 behind it.
        disk = dir.filePath("disk.img");
        const QString ntfs = dir.filePath("ntfs.part");
        const QString fat = dir.filePath("fat.part");
        QVERIFY(make_file(disk, 64LL * 1024 * 1024));
        QVERIFY(make_file(ntfs, ntfs_sectors * 512) && make_file(fat, fat_sectors * 512));
        if (QProcess::execute("/usr/sbin/mkntfs",
                              {"-F", "-Q", "-q", "-p", QString::number(ntfs_start), ntfs}) != 0 ||
            QProcess::execute("mkfs.fat", {"-F", "32", "-n", "ORVPART", fat}) != 0) {
            QSKIP("mkntfs or mkfs.fat did not run");
        }
        QVERIFY(copy_into(ntfs, disk, ntfs_start) && copy_into(fat, disk, fat_start));
    }

    void init() {
        init_done = 1;
        window = std::make_unique<main_window_c>();
        window->resize(800, 600);
        window->show();
    }
    void cleanup() { window.reset(); }

    // NTFS counts its sectors without the backup boot sector: N + 1 sectors in all.
    void column_texts_data() {
        QTest::addColumn<quint64>("start");
        QTest::addColumn<quint64>("end");
        QTest::addColumn<QString>("size");
        QTest::newRow("NTFS of N = 32767 sectors")
            << quint64(2048) << quint64(2048 + 32767) << format_size(32768ULL * 512);
        QTest::newRow("one sector") << quint64(7) << quint64(7) << QStringLiteral("512B");
        QTest::newRow("end before start") << quint64(9) << quint64(8) << QStringLiteral("0B");
    }
    void column_texts() {
        QFETCH(quint64, start);
        QFETCH(quint64, end);
        QFETCH(QString, size);
        const partition_item_s item{QStringLiteral("NTFS"), 7, start, end};
        QCOMPARE(partition_delegate_c::column_texts(item, 3),
                 (QStringList{"3", "NTFS", QString::number(start), QString::number(end), size}));
    }

    void rows_painted_data() {
        QTest::addColumn<bool>("title");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("title row") << true << 0 << false << QColor(232, 246, 255);
        QTest::newRow("odd row") << false << 1 << false << QColor(Qt::white);
        QTest::newRow("even row") << false << 2 << false << QColor(241, 250, 255);
        QTest::newRow("selected") << false << 1 << true << QColor(81, 149, 206);
    }
    void rows_painted() {
        QFETCH(bool, title);
        QFETCH(int, row);
        QFETCH(bool, selected);
        QFETCH(QColor, colour);
        QStandardItemModel model(row + 1, 1);
        const partition_item_s item{title ? QString() : QStringLiteral("FAT32"), 12, 1, 2};
        model.setData(model.index(row, 0), QVariant::fromValue(item), Qt::DisplayRole);
        QImage image(600, 30, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        QStyleOptionViewItem option;
        option.rect = QRect(0, 0, 600, 30);
        option.state = selected ? QStyle::State_Selected : QStyle::State_None;
        partition_delegate_c().paint(&painter, option, model.index(row, 0));
        QCOMPARE(image.pixelColor(5, 3), colour);
        // the title row's column dividers
        QCOMPARE(image.pixelColor(120, 3) == QColor(211, 231, 255), title);
    }

    void bar_values_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("percent");
        QTest::addColumn<bool>("filled_at_end");
        QTest::newRow("0") << 0.0 << "0%" << false;
        QTest::newRow("0.999") << 0.999 << "99%" << false;
        QTest::newRow("1") << 1.0 << "100%" << true;
    }
    void bar_values() {
        QFETCH(double, value);
        QFETCH(QString, percent);
        QFETCH(bool, filled_at_end);
        progress_bar_c bar;
        bar.init_bar(QStringLiteral(":/images/partition_search/loding_on.png"),
                     QColor(226, 240, 253));
        bar.value = value;
        QCOMPARE(bar.percent_text(), percent);
        QImage image(100, 12, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        bar.draw_bar(&painter, QRect(0, 0, 100, 12));
        QCOMPARE(image.pixelColor(99, 11) != QColor(226, 240, 253), filled_at_end);
        QCOMPARE(image.pixelColor(0, 11) != QColor(226, 240, 253), value > 0);
    }

    // The search lists both partitions under the title row; the bar reads 100 % at the end.
    void search_lists_the_partitions() {
        QAbstractItemModelTester tester(page()->model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(page()->bar.percent_text(), QStringLiteral("0%"));
        QCOMPARE(page()->start_partition_search(drive_of(disk)), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
        QTRY_COMPARE(page()->form->btn_stop->text(), text("btn_start"));
        QCOMPARE(page()->bar.percent_text(), QStringLiteral("100%"));
        partition_model_c* model = page()->model;
        QAbstractItemModelTester again(model,
                                       QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model->rowCount(), 3);
        QVERIFY(model->index(0, 0).data().value<partition_item_s>().fs_name.isEmpty());
        const partition_item_s ntfs = model->index(1, 0).data().value<partition_item_s>();
        QCOMPARE(ntfs.fs_name, QStringLiteral("NTFS"));
        QCOMPARE(ntfs.start_sector, quint64(ntfs_start));
        QCOMPARE(ntfs.end_sector - ntfs.start_sector + 1, quint64(ntfs_sectors));
        QCOMPARE(model->index(2, 0).data().value<partition_item_s>().fs_name,
                 QStringLiteral("FAT32"));
    }

    // Stop ends the search cooperatively; the button offers a start, which searches the
    // same drive afresh; repair while a search runs asks nothing and writes nothing.
    void stop_restart_and_repair_while_running() {
        // Written out in full: the search skips a sparse image's holes at once, and this
        // test needs a search that is still reading when the buttons are clicked.
        const QString dense = dir.filePath("dense.img");
        {
            QFile in(disk);
            QFile out(dense);
            QVERIFY(in.open(QIODevice::ReadOnly));
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            while (!in.atEnd()) {
                const QByteArray chunk = in.read(1 << 20);
                QCOMPARE(out.write(chunk), qint64(chunk.size()));
            }
            // 256 MiB in all, so that the search outlasts the clicks on a fast machine.
            const QByteArray zeros(1 << 20, '\0');
            while (out.size() < (qint64(256) << 20)) {
                QCOMPARE(out.write(zeros), qint64(zeros.size()));
            }
        }
        const QByteArray before = sha256_of_file(dense);
        QCOMPARE(page()->start_partition_search(drive_of(dense)), 0);
        QCOMPARE(page()->form->btn_stop->text(), text("btn_stop"));
        {
            box_answer_c answer(QMessageBox::Yes);
            QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
            QCOMPARE(answer.boxes, 0);
        }
        QTest::mouseClick(page()->form->btn_stop, Qt::LeftButton);
        QCOMPARE(page()->form->btn_stop->text(), text("btn_start"));
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
        QVERIFY(page()->worker.search_stopped());
        QTRY_COMPARE(page()->form->btn_stop->text(), text("btn_start"));
        QVERIFY(page()->bar.value < 1.0);

        QTest::mouseClick(page()->form->btn_stop, Qt::LeftButton);
        QCOMPARE(page()->form->btn_stop->text(), text("btn_stop"));
        // the old rows are gone: the new search lists each partition once
        QVERIFY(page()->model->rowCount() <= 3);
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
        QVERIFY(!page()->worker.search_stopped());
        QTRY_COMPARE(page()->model->rowCount(), 3);
        QCOMPARE(sha256_of_file(dense), before);

        // back to the drive page, where the drive was chosen, stops a running search
        page()->start_partition_search(drive_of(dense));
        window->show_page(3);
        window->on_click_partition_back();
        QCOMPARE(window->current_index(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
    }

    // No writes nothing; Yes writes the new sector 0 and tells where the old one went; a
    // repair that fails says so instead of "partition_finished".
    void repair_answers() {
        const QString copy = dir.filePath("repair.img");
        QFile::remove(copy);
        QVERIFY(QFile::copy(disk, copy));
        page()->start_partition_search(drive_of(copy));
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
        const QByteArray before = sha256_of_file(copy);
        {
            box_answer_c answer(QMessageBox::No);
            QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
            QCOMPARE(answer.boxes, 1);
            // the question names the drive, its size, the table and the entries to be written
            QVERIFY(answer.text.startsWith(text("partition_query")));
            QVERIFY(answer.text.contains(text("partition_query_table") + " " +
                                         text("partition_scheme_mbr")));
            QVERIFY2(answer.text.contains(text("partition_query_drive") + " " +
                                          QFileInfo(copy).canonicalFilePath() + " (64.00M)"),
                     qPrintable(answer.text));
            QVERIFY2(answer.text.contains(QStringLiteral("1. NTFS  %1 - %2  (16.00M)")
                                              .arg(ntfs_start)
                                              .arg(ntfs_start + ntfs_sectors - 1)),
                     qPrintable(answer.text));
            QVERIFY(answer.text.contains("2. FAT32  " + QString::number(fat_start) + " - "));
            QCOMPARE(answer.buttons, QMessageBox::Yes | QMessageBox::No);
            QCOMPARE(answer.default_button, QMessageBox::No);
        }
        {
            box_answer_c enter(QMessageBox::NoButton);  // Enter writes nothing
            QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
            QCOMPARE(enter.boxes, 1);
        }
        QCOMPARE(sha256_of_file(copy), before);
        {
            box_answer_c answer(QMessageBox::Yes);
            QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
            QTRY_COMPARE(answer.boxes, 2);
            QVERIFY(answer.text.startsWith(text("partition_repair_done")));
            QVERIFY2(answer.text.contains(
                         text("partition_written")
                             .arg(QFileInfo(copy).canonicalFilePath(), text("partition_scheme_mbr"))
                             .arg(2)),
                     qPrintable(answer.text));
            QVERIFY(answer.text.endsWith(
                QStringLiteral("orvane partitions --undo %1 %2")
                    .arg(page()->worker.backup_path(), QFileInfo(copy).canonicalFilePath())));
            QVERIFY(QFileInfo(page()->worker.backup_path()).isFile());
        }
        QVERIFY(sha256_of_file(copy) != before);

        // a blank disk: nothing found, nothing to write
        const QString blank = dir.filePath("blank.img");
        QVERIFY(make_file(blank, 1024 * 1024));
        page()->start_partition_search(drive_of(blank));
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
        {
            box_answer_c answer(QMessageBox::Yes);
            QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
            QCOMPARE(answer.boxes, 1);
            QCOMPARE(answer.text, text("partition_nothing_found"));
            QCOMPARE(answer.buttons, QMessageBox::Ok);
        }

        // a FAT32 volume formatted on the whole drive: the box says it needs no repair
        const QString whole = dir.filePath("whole.img");
        QVERIFY(make_file(whole, 40 * 1024 * 1024));
        QCOMPARE(QProcess::execute("mkfs.fat", {"-F", "32", "-S", "512", "-s", "1", whole}), 0);
        const QByteArray whole_before = sha256_of_file(whole);
        page()->start_partition_search(drive_of(whole));
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
        {
            box_answer_c answer(QMessageBox::Yes);
            QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
            QCOMPARE(answer.boxes, 1);
            QCOMPARE(answer.text, text("partition_whole_volume").arg("FAT32"));
        }
        QCOMPARE(sha256_of_file(whole), whole_before);
    }

    // A table that holds with every entry confirmed: Repair is disabled with the reason, a
    // click asks nothing and writes nothing; a new search enables it again.
    void repair_disabled_when_the_table_holds() {
        if (!fixture_exists(QStringLiteral("tables/mbr4code.img"))) {
            QSKIP("tables/mbr4code.img was not made (make_table_disks.sh needs root and losetup)");
        }
        const QString copy = dir.filePath("holds.img");
        QFile::remove(copy);
        QVERIFY(QFile::copy(fixture_path(QStringLiteral("tables/mbr4code.img")), copy));
        const QByteArray before = sha256_of_file(copy);
        QCOMPARE(page()->start_partition_search(drive_of(copy)), 0);
        QVERIFY(page()->form->btn_repair->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
        QTRY_VERIFY(!page()->form->btn_repair->isEnabled());
        QCOMPARE(page()->form->btn_repair->toolTip(), text("partition_state_holds"));
        QCOMPARE(page()->table_text(), text("partition_state_holds"));
        box_answer_c answer(QMessageBox::Yes);
        QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
        QCOMPARE(answer.boxes, 0);
        QCOMPARE(sha256_of_file(copy), before);
    }

    void repair_and_undo_lost_tables_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("intro");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<int>("sectors");    // replaced: the first 34 and the last 33, or sector 0
        QTest::addColumn<QString>("state");  // under the bar after the search
        QTest::newRow("GPT from its backup")
            << "gpt7-primary.img"
            << "partition_query_gpt_backup"
            << "partition_scheme_gpt_backup" << 67 << "partition_state_gpt_backup";
        QTest::newRow("new GPT") << "gpt7-both.img"
                                 << "partition_query_gpt_new"
                                 << "partition_scheme_gpt_new" << 67 << "partition_state_gpt_new";
        QTest::newRow("MBR with a logical partition")
            << "mbr4.img"
            << "partition_query"
            << "partition_scheme_mbr" << 1 << "partition_state_mbr";
    }

    // Repair from the page writes the table the search calls for: the question names it
    // and every entry; sgdisk finds the table clean, with the original GUIDs and names when
    // the backup GPT survived; Undo then gives the disk back byte for byte.
    void repair_and_undo_lost_tables() {
        QFETCH(QString, image);
        QFETCH(QString, intro);
        QFETCH(QString, scheme);
        QFETCH(int, sectors);
        QFETCH(QString, state);
        if (!fixture_exists(QStringLiteral("gpt/") + image)) {
            QSKIP("the GPT fixtures were not made (make_gpt_disks.sh needs root and loop devices)");
        }
        const QString sgdisk = system_tool(QStringLiteral("sgdisk"));
        const QString sfdisk = system_tool(QStringLiteral("sfdisk"));
        if (sgdisk.isEmpty() || sfdisk.isEmpty()) {
            QSKIP("sgdisk or sfdisk is not installed");
        }
        const QString original = fixture_path("gpt/" + image);
        const QString copy = dir.filePath(image);
        QFile::remove(copy);
        QCOMPARE(QProcess::execute(QStringLiteral("cp"),
                                   {QStringLiteral("--sparse=always"), original, copy}),
                 0);
        const QString drive = QFileInfo(copy).canonicalFilePath();
        const QList<made_partition_s> made = made_partitions(image);
        QVERIFY(!made.isEmpty());
        QCOMPARE(page()->start_partition_search(drive_of(copy)), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!page()->worker.isRunning(), 60000);
        QVERIFY(page()->form->btn_undo->isHidden());
        QTRY_COMPARE(page()->found_text(), text("partition_found").arg(made.size()));
        QCOMPARE(page()->table_text(), text(state.toLatin1().constData()));
        {
            box_answer_c answer(QMessageBox::No);
            QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
            QCOMPARE(answer.boxes, 1);
            QCOMPARE(answer.default_button, QMessageBox::No);
            QVERIFY2(answer.text.startsWith(text(intro.toLatin1().constData())),
                     qPrintable(answer.text));
            QVERIFY2(answer.text.contains(text("partition_query_drive") + " " + drive),
                     qPrintable(answer.text));
            QVERIFY2(answer.text.contains(text("partition_query_table") + " " +
                                          text(scheme.toLatin1().constData()) + "\n"),
                     qPrintable(answer.text));
            // every partition made, at its place, numbered in disk order
            for (qsizetype k = 0; k < made.size(); ++k) {
                const QString entry = QStringLiteral("\n%1. %2  %3 - %4  (")
                                          .arg(k + 1)
                                          .arg(made[k].fs)
                                          .arg(made[k].first)
                                          .arg(made[k].last);
                QVERIFY2(answer.text.contains(entry), qPrintable(entry + " in " + answer.text));
            }
            if (intro == QLatin1String("partition_query_gpt_backup")) {
                QVERIFY(answer.text.contains(QStringLiteral("\"%1\"").arg(made[0].name)));
            }
            QVERIFY(!answer.text.contains(text("partition_query_left_out")));
        }
        QVERIFY(same_bytes(copy, original));
        {
            box_answer_c answer(QMessageBox::Yes);
            QTest::mouseClick(page()->form->btn_repair, Qt::LeftButton);
            QTRY_COMPARE(answer.boxes, 2);
            const QString backup = page()->worker.backup_path();
            QVERIFY(QFileInfo(backup).isFile());
            QVERIFY2(answer.text.contains(text("partition_written")
                                              .arg(drive, text(scheme.toLatin1().constData()))
                                              .arg(made.size())),
                     qPrintable(answer.text));
            QVERIFY(answer.text.contains(text("partition_saved_to") + "\n" + backup + "\n"));
            QVERIFY(answer.text.endsWith(
                QStringLiteral("orvane partitions --undo %1 %2").arg(backup, drive)));
        }
        QVERIFY(!same_bytes(copy, original));
        QCOMPARE(page()->table_text(), text("partition_written")
                                           .arg(drive, text(scheme.toLatin1().constData()))
                                           .arg(made.size()));
        if (scheme == QLatin1String("partition_scheme_mbr")) {
            const QString dump = run_tool(sfdisk, {QStringLiteral("-d"), copy});
            for (const made_partition_s& p : made) {
                QVERIFY2(dump.contains(QStringLiteral("start=%1, size=%2")
                                           .arg(p.first, 12)
                                           .arg(p.last - p.first + 1, 12)),
                         qPrintable(dump));
            }
        } else {
            const QString verify = run_tool(sgdisk, {QStringLiteral("-v"), copy});
            QVERIFY2(verify.contains(QLatin1String("No problems found")), qPrintable(verify));
            for (qsizetype k = 0; k < made.size(); ++k) {
                const QString info =
                    run_tool(sgdisk, {QStringLiteral("-i"), QString::number(k + 1), copy});
                QVERIFY2(info.contains(QStringLiteral("First sector: %1 ").arg(made[k].first)) &&
                             info.contains(QStringLiteral("Last sector: %1 ").arg(made[k].last)),
                         qPrintable(info));
                if (intro == QLatin1String("partition_query_gpt_backup")) {
                    QVERIFY2(info.contains(made[k].unique_guid), qPrintable(info));
                    QVERIFY2(info.contains(QStringLiteral("'%1'").arg(made[k].name)),
                             qPrintable(info));
                } else {
                    // the new GUIDs are those of the table the question was made from
                    QCOMPARE(page()->worker.described().size(), made.size());
                    QVERIFY2(info.contains(page()->worker.described()[k].unique_guid),
                             qPrintable(info));
                }
            }
        }

        // Undo: No leaves the repaired table; Yes puts every replaced sector back.
        QVERIFY(!page()->form->btn_undo->isHidden());
        const QString repaired = dir.filePath("repaired-" + image);
        QFile::remove(repaired);
        QCOMPARE(QProcess::execute(QStringLiteral("cp"),
                                   {QStringLiteral("--sparse=always"), copy, repaired}),
                 0);
        {
            box_answer_c answer(QMessageBox::NoButton);  // Enter writes nothing
            QTest::mouseClick(page()->form->btn_undo, Qt::LeftButton);
            QCOMPARE(answer.boxes, 1);
            QCOMPARE(answer.default_button, QMessageBox::No);
            QVERIFY(answer.text.contains(page()->worker.backup_path()));
        }
        QVERIFY(same_bytes(copy, repaired));
        {
            box_answer_c answer(QMessageBox::Yes);
            QTest::mouseClick(page()->form->btn_undo, Qt::LeftButton);
            QTRY_COMPARE(answer.boxes, 2);
            QVERIFY2(answer.text.startsWith(text("partition_undone").arg(sectors).arg(drive)),
                     qPrintable(answer.text));
        }
        QVERIFY(same_bytes(copy, original));
        QVERIFY(page()->form->btn_undo->isHidden());
        QCOMPARE(page()->table_text(), text("partition_state_undone"));
        QFile::remove(repaired);
        QFile::remove(copy);
    }
};

QTEST_MAIN(test_partition_page)
#include "test_partition_page.moc"
