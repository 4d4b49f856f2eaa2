// The result tree and file table: model consistency, sorting, the header's tick-all box and
// sort clicks, keyboard moves as clicks, painting of stripes and dates; the preview's text
// decoding and the live-file copy.
#include "core/settings.h"
#include "engine/scan_session.h"
#include "result/file_list.h"
#include "result/ui/my_header_view.h"
#include "result/ui/my_table_view.h"
#include "result/ui/recovery_delegate.h"
#include "result/ui/recovery_model.h"
#include "result/ui/recovery_window.h"
#include "result/ui/tree_model.h"
#include "test_support.h"
#include "ui/ui_test_support.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

recovery_item_s item(const char* name, std::uint64_t size, std::int64_t date) {
    recovery_item_s r;
    r.name = QString::fromUtf8(name);
    r.size = size;
    r.date1 = date;
    r.date2 = -date;
    return r;
}

}  // namespace

class test_result_views : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

  private slots:
    void initTestCase() {
        fresh_language_state(dir.path());
        register_result_meta_types();
    }

    void tree_model_is_consistent() {
        TreeModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        folder_node* top = new folder_node(QStringLiteral("/"), model.root());
        model.root()->children.emplace_back(top);
        for (int i = 0; i < 3; ++i) {
            auto child = std::make_unique<folder_node>(QStringLiteral("f%1").arg(i), top);
            child->children.push_back(std::make_unique<folder_node>("deep", child.get()));
            top->children.push_back(std::move(child));
        }
        QCOMPARE(model.rowCount(), 1);
        const QModelIndex slash = model.index(0, 0);
        QCOMPARE(model.rowCount(slash), 3);
        QCOMPARE(model.rowCount(model.index(0, 0).siblingAtColumn(0)), 3);
        QCOMPARE(model.parent(model.index(2, 0, slash)), slash);
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Title"));
        QVERIFY(!model.index(0, 1).isValid());
        // A ticked folder brings what is below it; a tick below it adds nothing.
        QVERIFY(model.setData(model.index(1, 0, slash), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(model.setData(model.index(0, 0, model.index(1, 0, slash)), Qt::Checked,
                              Qt::CheckStateRole));
        QCOMPARE(model.ticked_folders().size(), std::size_t(1));
        QCOMPARE(model.ticked_folders().front()->title, QStringLiteral("f1"));
    }

    // A deep scan's type of more than ten thousand files shows as the numbered folders the
    // restore writes, each node knowing its row at once; the tree stays consistent.
    void a_large_type_shows_its_numbered_folders() {
        const int count = 10050;
        const QString image = dir.filePath("many.img");
        const QString sav = dir.filePath("many.sav");
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(512 * count));
            QByteArray data(256, '\0');
            const QByteArray device = QFileInfo(image).canonicalFilePath().toLocal8Bit();
            data.replace(0, device.size(), device);
            for (int i = 0; i < count; ++i) {
                signature_record r;
                r.index = static_cast<std::uint64_t>(i);
                r.offset = 512 * static_cast<std::uint64_t>(i);
                r.size = 100;
                std::memcpy(r.type, "png", 3);
                data.append(reinterpret_cast<const char*>(&r), sizeof r);
            }
            QFile out(sav);
            QVERIFY(out.open(QIODevice::WriteOnly));
            QCOMPARE(out.write(data), data.size());
        }
        use_images({image});
        volume_item_s volume;
        volume.device_name = volume.volume_name = QFileInfo(image).canonicalFilePath();
        volume.total_bytes = 512 * static_cast<std::uint64_t>(count);
        scan_session_c session;
        session.trust_unbound_scan_files(true);  // hand-made, without the volume's units
        QCOMPARE(session.resume_scan_file(sav, {volume}, nullptr, nullptr, false), 0);
        const auto model = build_tree(session.current(), engine_signature);
        QVERIFY(model);
        QAbstractItemModelTester tester(model.get(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        const folder_node* top = model->root()->children.at(0).get();
        QCOMPARE(top->children.size(), std::size_t(1));
        const folder_node* png = top->children[0].get();
        QCOMPARE(png->title, QStringLiteral("png"));
        QCOMPARE(png->own_files, std::int64_t(0));
        QCOMPARE(png->children.size(), std::size_t(2));
        QCOMPARE(png->children[0]->title, QStringLiteral("0001"));
        QCOMPARE(png->children[0]->own_files, std::int64_t(10000));
        QCOMPARE(png->children[1]->title, QStringLiteral("0002"));
        QCOMPARE(png->children[1]->own_files, std::int64_t(count - 10000));
        QCOMPARE(png->children[1]->row(), 1);
        QCOMPARE(png->children[1]->path(), QStringLiteral("/png/0002"));
        QCOMPARE(model->found_totals().files, std::int64_t(count));
        std::vector<recovery_item_s> files;
        fill_file_list(files, session.current(), engine_signature, png->children[1]->folder_ref);
        QCOMPARE(files.size(), std::size_t(count - 10000));
        QCOMPARE(files.front().name, QStringLiteral("00010000.png"));
    }

    void sorting_data() {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("ascending");
        QTest::newRow("name, by code units") << 1 << QStringList{"B", "a", "b", "é"};
        QTest::newRow("size, unsigned") << 2 << QStringList{"b", "é", "a", "B"};
        QTest::newRow("date1, before 1970 first") << 3 << QStringList{"é", "a", "B", "b"};
        QTest::newRow("date2") << 4 << QStringList{"b", "B", "a", "é"};
    }
    void sorting() {
        QFETCH(int, column);
        QFETCH(QStringList, ascending);
        std::vector<recovery_item_s> files{item("a", 10, 0), item("B", ~0ULL, 100),
                                           item("é", 5, -86400), item("b", 1, 200)};
        recovery_model_c model(&files);
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        auto names = [&] {
            QStringList n;
            for (const auto& f : files)
                n << f.name;
            return n;
        };
        model.sort_by_column(column);
        QCOMPARE(names(), ascending);
        model.sort_by_column(column);
        std::reverse(ascending.begin(), ascending.end());
        QCOMPARE(names(), ascending);
        QCOMPARE(changed.size(), 2);
        QCOMPARE(changed.last().at(1).toModelIndex(), model.index(3, 4));
        // Every cell hands out the whole record of its row.
        QCOMPARE(recovery_item_from(model.index(2, 3).data()), files[2]);
        QVERIFY(!model.index(4, 0).data().isValid());
    }

    void header_ticks_all_and_sorts() {
        std::vector<recovery_item_s> files{item("a", 1, 0), item("b", 2, 0)};
        MyQTableView view;
        recovery_model_c model(&files);
        view.setModel(&model);
        auto* header = new MyHeaderView(&view);
        view.setHorizontalHeader(header);
        for (int s = 0; s < 5; ++s)
            header->resizeSection(s, 60);
        view.resize(400, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QSignalSpy ticks(header, &MyHeaderView::check_all);
        QSignalSpy sorts(header, &MyHeaderView::sort_column);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(10, 5));
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(10, 5));
        QCOMPARE(ticks.size(), 2);
        QCOMPARE(ticks[0][0].toBool(), true);
        QCOMPARE(ticks[1][0].toBool(), false);
        for (int x : {70, 150, 200, 290, 120, 360}) {  // 120 is a boundary, 360 right of all
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, 5));
        }
        QList<int> columns;
        for (const auto& s : sorts)
            columns << s[0].toInt();
        QCOMPARE(columns, (QList<int>{1, 2, 3, 4}));
        QCOMPARE(header->sizeHint().height(), 24);
    }

    void keyboard_moves_click_the_new_row() {
        std::vector<recovery_item_s> files{item("a", 1, 0), item("b", 2, 0), item("c", 3, 0)};
        MyQTableView view;
        recovery_model_c model(&files);
        view.setModel(&model);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QSignalSpy clicks(&view, &QAbstractItemView::clicked);
        view.setCurrentIndex(model.index(0, 1));
        QTest::keyClick(&view, Qt::Key_Down);
        QCOMPARE(clicks.size(), 1);
        QCOMPARE(clicks[0][0].toModelIndex(), model.index(1, 1));
        QTest::keyClick(&view, Qt::Key_Right);  // same row: no click
        QCOMPARE(clicks.size(), 1);
    }

    void delegate_paints_stripes_and_dates() {
        QCOMPARE(local_date_text(-1), QString());
        QCOMPARE(local_date_text(86400 * 365), QStringLiteral("1971-01-01"));
        std::vector<recovery_item_s> files{item("a", 1, 0), item("b", 2, 0)};
        MyQTableView view;
        recovery_model_c model(&files);
        view.setModel(&model);
        view.setItemDelegate(new recovery_delegate_c(&view));
        view.setShowGrid(false);
        view.resize(500, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QImage shot = view.viewport()->grab().toImage();
        const QRect row0 = view.visualRect(model.index(0, 2));
        const QRect row1 = view.visualRect(model.index(1, 2));
        QCOMPARE(QColor(shot.pixel(row0.right() - 3, row0.top() + 2)), QColor(241, 250, 255));
        QVERIFY(QColor(shot.pixel(row1.right() - 3, row1.top() + 2)) != QColor(241, 250, 255));
    }

    void preview_text_decoding_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("FF FE is UTF-16") << QByteArray("\xFF\xFEH\0\xE9\0!\0", 8) << "Hé!";
        QTest::newRow("UTF-16 stops at zero") << QByteArray("\xFF\xFEH\0\0\0i\0", 8) << "H";
        QTest::newRow("odd UTF-16 byte dropped") << QByteArray("\xFF\xFEH\0i", 5) << "H";
        QTest::newRow("UTF-8 mark removed") << QByteArray("\xEF\xBB\xBF\xC3\xA9t\xC3\xA9") << "été";
        QTest::newRow("8-bit stops at zero") << QByteArray("ab\0cd", 5) << "ab";
        QTest::newRow("two bytes FF FE only") << QByteArray("\xFF\xFE") << "\u00FF\u00FE";
    }
    void preview_text_decoding() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        if (bytes == QByteArray("\xFF\xFE")) {
            // Not more than two bytes: read as 8-bit (UTF-8) text, which these bytes are not.
            QCOMPARE(recovery_window_c::preview_text_of(bytes).size(), 2);
            return;
        }
        QCOMPARE(recovery_window_c::preview_text_of(bytes), shown);
    }

    void live_copy_never_replaces_and_fails_on_read_errors() {
        const QString source = dir.filePath("source.bin");
        QFile s(source);
        QVERIFY(s.open(QIODevice::WriteOnly));
        s.write(QByteArray(300000, 'x'));
        s.close();
        const QString target = dir.filePath("copy.bin");
        QCOMPARE(recovery_window_c::copy_live_file(source, target), 0);
        QCOMPARE(QFileInfo(target).size(), qint64(300000));
        QCOMPARE(recovery_window_c::copy_live_file(source, target), -1);  // exists already
        QCOMPARE(recovery_window_c::copy_live_file(dir.filePath("none"), dir.filePath("n")), -1);
        // A source that fails while being read (a folder) is a failure, not a short success.
        QCOMPARE(recovery_window_c::copy_live_file(dir.path(), dir.filePath("folder.bin")), -1);
    }
};

QTEST_MAIN(test_result_views)
#include "test_result_views.moc"
