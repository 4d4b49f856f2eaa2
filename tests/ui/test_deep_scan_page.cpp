// The scan page's deep scans: the offer to continue an interrupted one (asked only when the
// volume's checkpoint is of that same volume; "continue", the default, keeps what the
// checkpoint found and reads on from where it stopped, "start again" reads the whole volume,
// cancel starts nothing), and a loaded scan file whose names and dates are read on a thread
// of their own while the page shows their progress.
#include "core/settings.h"
#include "device/volume_list.h"
#include "engine/raw/scan_checkpoint.h"
#include "engine/scan_session.h"
#include "result/ui/recovery_window.h"
#include "result/ui/tree_model.h"
#include "test_support.h"
#include "ui/ui_test_support.h"

#include <QBuffer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr qint64 image_bytes = 4 << 20;
constexpr int pictures = 7;

qint64 picture_offset(int n) {
    return n * (512 << 10) + 4096;
}

}  // namespace

class test_deep_scan_page : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString image;
    volume_item_s whole;
    std::vector<signature_record> written;  // where each picture lies

    // The checkpoint a scan stopped half-way would leave: the first two pictures found, the
    // scan read up to 2 MiB.
    scan_checkpoint_s half_way() const {
        scan_checkpoint_s checkpoint;
        checkpoint.device_path = image;
        checkpoint.identity = volume_identity(image);
        checkpoint.resume_at = 2 << 20;
        checkpoint.records = {written[0], written[1]};
        return checkpoint;
    }

    std::vector<std::uint64_t> found_offsets(recovery_window_c& page) const {
        std::vector<std::uint64_t> offsets;
        for (const signature_record& r : page.scan_session().raw_engine().records()) {
            offsets.push_back(r.offset);
        }
        std::sort(offsets.begin(), offsets.end());
        return offsets;
    }

    std::vector<std::uint64_t> offsets_of(std::initializer_list<int> numbers) const {
        std::vector<std::uint64_t> offsets;
        for (const int n : numbers) {
            offsets.push_back(written[static_cast<std::size_t>(n)].offset);
        }
        return offsets;
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        fresh_language_state(dir.path());
        register_result_meta_types();
        // Seven PNGs of noise (each its own size) on an otherwise empty volume.
        image = dir.filePath("card.img");
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(image_bytes));
        QRandomGenerator random(22);
        for (int n = 0; n < pictures; ++n) {
            QImage picture(40 + 8 * n, 30, QImage::Format_RGB32);
            picture.setText(QStringLiteral("Title"), QStringLiteral("Picture %1").arg(n));
            for (int y = 0; y < picture.height(); ++y) {
                for (int x = 0; x < picture.width(); ++x) {
                    picture.setPixel(x, y, random.generate());
                }
            }
            QByteArray bytes;
            QBuffer buffer(&bytes);
            QVERIFY(buffer.open(QIODevice::WriteOnly));
            QVERIFY(picture.save(&buffer, "PNG"));
            QVERIFY(file.seek(picture_offset(n)));
            QCOMPARE(file.write(bytes), bytes.size());
            signature_record record;
            record.index = static_cast<std::uint64_t>(n);
            record.offset = static_cast<std::uint64_t>(picture_offset(n));
            record.size = static_cast<std::uint64_t>(bytes.size());
            std::memcpy(record.type, "png", 3);
            written.push_back(record);
        }
        file.close();
        image = QFileInfo(image).canonicalFilePath();
        use_images({image});
        QCOMPARE(volume_identity(image).size(), 8 + 32);
        whole.device_name = whole.volume_name = whole.path = image;
        whole.total_bytes = image_bytes;
    }

    void init() { QFile::remove(checkpoint_path(image)); }

    void offer_data() {
        QTest::addColumn<int>("answer");  // a QMessageBox button; NoButton: Enter
        QTest::addColumn<bool>("same");   // the checkpoint is of the volume as it is now
        QTest::addColumn<int>("boxes");
        QTest::addColumn<QList<int>>("found");
        const QList<int> all{0, 1, 2, 3, 4, 5, 6};
        // Continued: the checkpoint's two, then those past 2 MiB; 2 and 3 were "read" before.
        QTest::newRow("Enter continues")
            << int(QMessageBox::NoButton) << true << 1 << QList<int>{0, 1, 4, 5, 6};
        QTest::newRow("continue") << int(QMessageBox::Yes) << true << 1
                                  << QList<int>{0, 1, 4, 5, 6};
        QTest::newRow("start again") << int(QMessageBox::No) << true << 1 << all;
        QTest::newRow("changed volume: no question") << int(QMessageBox::Yes) << false << 0 << all;
    }
    void offer() {
        QFETCH(int, answer);
        QFETCH(bool, same);
        QFETCH(int, boxes);
        QFETCH(QList<int>, found);
        scan_checkpoint_s checkpoint = half_way();
        if (!same) {
            checkpoint.identity[20] = static_cast<char>(checkpoint.identity[20] ^ 1);
        }
        QVERIFY(write_checkpoint(checkpoint_path(image), checkpoint));
        recovery_window_c page;
        page.show();
        {
            box_answer_c box(static_cast<QMessageBox::StandardButton>(answer));
            QCOMPARE(page.scan_volume(whole, true), 0);
            QCOMPARE(box.boxes, boxes);
            if (boxes > 0) {
                QCOMPARE(box.text, plural_text("deep_continue_query", 2).arg("50.0"));
                QCOMPARE(box.default_button, QMessageBox::Yes);
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);
        std::vector<std::uint64_t> want;
        for (const int n : found) {
            want.push_back(written[static_cast<std::size_t>(n)].offset);
        }
        QCOMPARE(found_offsets(page), want);
        // The scan reached the end of the volume: nothing is left to continue.
        QVERIFY(!QFile::exists(checkpoint_path(image)));
        // What the checkpoint held restores like a file found now.
        const QString restored = dir.filePath(
            QStringLiteral("first-%1.png").arg(QTest::currentDataTag()).replace(' ', '-'));
        recovery_item_s first;
        first.name = QStringLiteral("first.png");
        first.file_key = 0;
        first.size = written[0].size;
        QCOMPARE(page.restore_to(first, restored), 0);
        QCOMPARE(QFileInfo(restored).size(), qint64(written[0].size));
    }

    void cancel_starts_nothing() {
        QVERIFY(write_checkpoint(checkpoint_path(image), half_way()));
        recovery_window_c page;
        page.show();
        box_answer_c box(QMessageBox::Cancel);
        QCOMPARE(page.scan_volume(whole, true), -1);
        QCOMPARE(box.boxes, 1);
        QVERIFY(!scanning);
        QVERIFY(!page.scan_session().scanning());
        QVERIFY(QFile::exists(checkpoint_path(image)));  // still there for the next start
    }

    void no_checkpoint_no_question() {
        recovery_window_c page;
        page.show();
        box_answer_c box(QMessageBox::Yes);
        QCOMPARE(page.scan_volume(whole, true), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 60000);
        QCOMPARE(box.boxes, 0);
        QCOMPARE(found_offsets(page), offsets_of({0, 1, 2, 3, 4, 5, 6}));
    }

    void loaded_scan_file_reads_names_on_its_own_thread() {
        const QString sav = dir.filePath("card.sav");
        {
            scan_session_c session;
            QCOMPARE(session.start(whole, true), 0);
            session.current()->wait();
            session.on_thread_finished();
            QCOMPARE(session.raw_engine().write_scan_file(sav), 0);
        }
        volume_list = {volume_item_s{}, whole};
        recovery_window_c page;
        page.show();
        {
            file_dialog_answer_c load(sav);
            QCOMPARE(page.resume_scan_file(), 0);
        }
        // Back from the call before the names are read: the page is busy and says so.
        QVERIFY(page.reading_metadata());
        QVERIFY(scanning);
        QCOMPARE(page.status_text(), text("recovery_reading_meta"));
        QCOMPARE(page.scan_volume(whole, true), -1);  // nothing else starts meanwhile
        QTRY_VERIFY_WITH_TIMEOUT(!scanning, 30000);
        QVERIFY(!page.reading_metadata());
        QVERIFY(page.status_text().startsWith(text("recovery_loaded").section("%1", 0, 0)));
        // The files carry the titles their pictures hold, as after a scan.
        TreeModel* tree = page.tree_model_now();
        const QModelIndex top = tree->index(0, 0);
        QModelIndex png;
        for (int row = 0; row < tree->rowCount(top); ++row) {
            if (TreeModel::node_of(tree->index(row, 0, top))->path() == QStringLiteral("/png")) {
                png = tree->index(row, 0, top);
            }
        }
        QVERIFY(png.isValid());
        page.on_tree_clicked(png);
        QStringList names;
        for (const recovery_item_s& file : page.files()) {
            names << file.name;
        }
        names.sort();
        QStringList want;
        for (int n = 0; n < pictures; ++n) {
            want << QStringLiteral("Picture %1.png").arg(n);
        }
        QCOMPARE(names, want);

        // Left while the names are read: the reading ends, nothing stays loaded.
        {
            file_dialog_answer_c load(sav);
            QCOMPARE(page.resume_scan_file(), 0);
        }
        page.leave_page();
        QVERIFY(!scanning);
        QVERIFY(!page.reading_metadata());
        QVERIFY(!page.scan_session().has_results());
        QTest::qWait(50);  // the reading thread's end, queued, finds nothing to list
        QCOMPARE(page.tree_model_now()->found_totals().files, 0);
    }
};

QTEST_MAIN(test_deep_scan_page)
#include "test_deep_scan_page.moc"
