// The scan page's picture grid: bounded decoding of found bytes, the thumbnail cache's cap,
// reads only for the cells in sight (a list of 10,000 pictures), results of a cleared
// loader thrown away, and the page's toggle between the table and the grid.
#include "engine/restore_sink.h"
#include "result/ui/my_table_view.h"
#include "result/ui/picture_decode.h"
#include "result/ui/recovery_window.h"
#include "result/ui/thumb_loader.h"
#include "result/ui/thumb_model.h"
#include "result/ui/thumb_view.h"
#include "ui/ui_test_support.h"

#include <QBuffer>
#include <QLineEdit>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtEndian>
#include <QtTest>

#include <QScrollBar>

#include <atomic>

namespace {

QByteArray encoded(const QSize& size, const char* format, QColor color = QColor(200, 40, 40)) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

quint32 crc32_of(const QByteArray& bytes) {
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= static_cast<quint8>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// A PNG whose header claims width x height pixels and whose data is one empty chunk.
QByteArray png_claiming(quint32 width, quint32 height) {
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    const auto chunk = [&png](const char* type, const QByteArray& body) {
        char length[4];
        qToBigEndian<quint32>(static_cast<quint32>(body.size()), length);
        png.append(length, 4);
        const QByteArray typed = QByteArray(type, 4) + body;
        png.append(typed);
        char crc[4];
        qToBigEndian<quint32>(crc32_of(typed), crc);
        png.append(crc, 4);
    };
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(width, header.data());
    qToBigEndian<quint32>(height, header.data() + 4);
    header[8] = 8;  // bit depth
    header[9] = 6;  // RGBA
    chunk("IHDR", header);
    chunk("IDAT", QByteArray::fromHex("789c030000000001"));
    chunk("IEND", {});
    return png;
}

recovery_item_s picture(int n, const QString& suffix = QStringLiteral("png")) {
    recovery_item_s item;
    item.name = QStringLiteral("%1.%2").arg(n, 8, 10, QLatin1Char('0')).arg(suffix);
    item.size = 1000;
    item.file_key = static_cast<std::uint64_t>(n);
    return item;
}

// Hands every file the same small PNG and counts the reads.
struct counting_reader_s {
    std::shared_ptr<std::atomic<int>> reads = std::make_shared<std::atomic<int>>(0);
    QByteArray bytes = encoded(QSize(64, 48), "PNG");
    thumb_loader_c::read_f function() const {
        return [reads = reads, bytes = bytes](const recovery_item_s&, restore_sink_c* sink) {
            reads->fetch_add(1);
            return sink->write(bytes.constData(), static_cast<std::size_t>(bytes.size())) ? 0 : -1;
        };
    }
};

// Waits for the view's pause after a scroll, then for every read asked for.
bool settle(thumb_loader_c& loader) {
    QTest::qWait(150);
    return QTest::qWaitFor([&loader] { return loader.idle(); }, 10000);
}

}  // namespace

class test_thumb_grid : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

  private slots:
    void initTestCase() {
        // Picture children start with the environment of their time: the crash hook is set
        // before the first one.
        qputenv("ORVANE_TEST_PICTURE_CRASH", "CRASH-HERE");
        fresh_language_state(dir.path());
        register_result_meta_types();
    }

    void decode_is_bounded_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QSize>("expected");  // an empty size: no thumbnail
        QTest::newRow("wide png scaled, shape kept")
            << encoded(QSize(300, 200), "PNG") << "png" << QSize(112, 74);
        QTest::newRow("tall jpeg scaled while decoding")
            << encoded(QSize(1000, 2000), "JPEG") << "jpg" << QSize(56, 112);
        QTest::newRow("upper-case suffix")
            << encoded(QSize(224, 224), "JPEG") << "JPEG" << QSize(112, 112);
        QTest::newRow("small picture not enlarged")
            << encoded(QSize(40, 30), "BMP") << "bmp" << QSize(40, 30);
        QTest::newRow("png bytes under a jpeg name")
            << encoded(QSize(100, 100), "PNG") << "jpg" << QSize();
        QTest::newRow("jpeg cut after its header")
            << encoded(QSize(500, 500), "JPEG").left(300) << "jpg" << QSize();
        QTest::newRow("noise") << QByteArray(4096, '\x5a') << "png" << QSize();
        QTest::newRow("png claiming 60000 x 60000")
            << png_claiming(60000, 60000) << "png" << QSize();
        QTest::newRow("not a picture type") << encoded(QSize(50, 50), "PNG") << "doc" << QSize();
        QTest::newRow("nothing") << QByteArray() << "png" << QSize();
    }
    void decode_is_bounded() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, suffix);
        QFETCH(QSize, expected);
        const QImage thumb = thumb_loader_c::decode(bytes, suffix, thumb_loader_c::side);
        // The program decodes in the picture child: the same picture comes back.
        const QByteArray format = picture_format(suffix);
        const QImage apart =
            format.isEmpty() ? QImage() : decode_picture_apart(bytes, format, thumb_loader_c::side);
        QCOMPARE(apart, thumb);
        if (expected.isEmpty()) {
            QVERIFY(thumb.isNull());
        } else {
            QCOMPARE(thumb.size(), expected);
            // The picture itself, not a blank of its size.
            QVERIFY(qAbs(thumb.pixelColor(thumb.width() / 2, thumb.height() / 2).red() - 200) < 16);
        }
    }

    // A picture reader that crashes ends only the picture child: that picture has none,
    // the program goes on, and the next picture is decoded by a new child. Previews are
    // told by their content and bounded too.
    void a_crashing_reader_costs_one_picture() {
        const QByteArray good = encoded(QSize(300, 200), "PNG");
        QVERIFY(decode_picture_apart(good + "CRASH-HERE", "png", 112).isNull());
        QCOMPARE(decode_picture_apart(good, "png", 112).size(), QSize(112, 74));
        QCOMPARE(decode_picture_apart(encoded(QSize(3000, 1000), "JPEG"), {}, 2048).size(),
                 QSize(2048, 682));
        QVERIFY(decode_picture_apart(QByteArray(4096, '\x5a'), {}, 2048).isNull());
    }

    void pictures_by_suffix() {
        QVERIFY(thumb_loader_c::is_picture(QStringLiteral("2024-06-01 14-03-22 Canon.jpg")));
        QVERIFY(thumb_loader_c::is_picture(QStringLiteral("a.PNG")));
        QVERIFY(thumb_loader_c::is_picture(QStringLiteral("b.gif")));
        QVERIFY(!thumb_loader_c::is_picture(QStringLiteral("drawing.svg")));
        QVERIFY(!thumb_loader_c::is_picture(QStringLiteral("report.pdf")));
        QVERIFY(!thumb_loader_c::is_picture(QStringLiteral("jpg")));
    }

    void cache_keeps_to_its_cap() {
        counting_reader_s reader;
        reader.bytes = encoded(QSize(400, 400), "PNG");  // thumbnails of 112 x 112, 49 KiB
        const qsizetype cap = 200 * 1024;
        thumb_loader_c loader(reader.function(), cap);
        QSignalSpy ready(&loader, &thumb_loader_c::ready);
        std::vector<recovery_item_s> items;
        for (int n = 0; n < 20; ++n) {
            items.push_back(picture(n));
        }
        loader.want(items);
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 20, 10000);
        QCOMPARE(reader.reads->load(), 20);
        QVERIFY(loader.cache_bytes() <= cap);
        QVERIFY(loader.cache_bytes() >= 3 * 112 * 112 * 4);
        QVERIFY(loader.find(picture(19)) != nullptr);  // the latest stay
        // Made ones are not read again; a file over the read limit is not read at all.
        recovery_item_s huge = picture(99);
        huge.size = thumb_loader_c::byte_limit + 1;
        loader.want({picture(19), huge});
        QTRY_VERIFY(loader.failed(huge));
        QCOMPARE(reader.reads->load(), 20);
    }

    void files_sharing_a_key_keep_their_own_thumbnails() {
        // Deleted files of a FAT volume may share their first cluster, the engine's key.
        const QByteArray red = encoded(QSize(30, 30), "PNG", QColor(200, 40, 40));
        const QByteArray blue = encoded(QSize(30, 30), "PNG", QColor(40, 40, 200));
        thumb_loader_c loader([&](const recovery_item_s& item, restore_sink_c* sink) {
            const QByteArray& bytes = item.name.startsWith(QLatin1Char('r')) ? red : blue;
            return sink->write(bytes.constData(), static_cast<std::size_t>(bytes.size())) ? 0 : -1;
        });
        recovery_item_s first = picture(7);
        first.name = QStringLiteral("red.png");
        recovery_item_s second = picture(7);
        second.name = QStringLiteral("blue.png");
        QSignalSpy ready(&loader, &thumb_loader_c::ready);
        loader.want({first, second});
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 2, 10000);
        QVERIFY(loader.find(first) && loader.find(second));
        QCOMPARE(loader.find(first)->pixelColor(56, 56).rgb(), QColor(200, 40, 40).rgb());
        QCOMPARE(loader.find(second)->pixelColor(56, 56).rgb(), QColor(40, 40, 200).rgb());
    }

    void a_cleared_read_stops_and_is_dropped() {
        QSemaphore entered;
        QSemaphore go;
        std::atomic<bool> stopped_seen{false};
        const QByteArray bytes = encoded(QSize(64, 64), "PNG");
        thumb_loader_c loader([&](const recovery_item_s&, restore_sink_c* sink) {
            entered.release();
            go.acquire();
            stopped_seen = sink->stop_requested();
            return sink->write(bytes.constData(), static_cast<std::size_t>(bytes.size())) ? 0 : -1;
        });
        QSignalSpy ready(&loader, &thumb_loader_c::ready);
        loader.want({picture(1)});
        QVERIFY(entered.tryAcquire(1, 5000));
        loader.clear();  // a new scan: what the old one's read gives is not wanted
        go.release();
        loader.stop();
        QCoreApplication::processEvents();
        QVERIFY(stopped_seen.load());
        QCOMPARE(ready.count(), 0);
        QVERIFY(loader.find(picture(1)) == nullptr);
    }

    void grid_of_ten_thousand_reads_only_what_is_in_sight() {
        counting_reader_s reader;
        thumb_loader_c loader(reader.function());
        std::vector<recovery_item_s> items;
        for (int n = 0; n < 10000; ++n) {
            // Every tenth file is not a picture: its cell shows its type and is never read.
            items.push_back(
                picture(n, n % 10 == 9 ? QStringLiteral("doc") : QStringLiteral("png")));
        }
        thumb_model_c model(&items, &loader);
        thumb_view_c view;
        view.resize(700, 500);
        view.set_thumb_model(&model);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QVERIFY(settle(loader));
        const std::vector<int> first = view.rows_in_sight();
        QVERIFY(first.size() >= 8 && first.size() < 60);
        QCOMPARE(first.front(), 0);
        const int pictures_in_sight = static_cast<int>(
            std::count_if(first.begin(), first.end(), [](int row) { return row % 10 != 9; }));
        QCOMPARE(reader.reads->load(), pictures_in_sight);
        for (const int row : first) {
            const QVariant decoration = model.data(model.index(row), Qt::DecorationRole);
            if (row % 10 == 9) {
                QCOMPARE(decoration.typeId(), QMetaType::QPixmap);  // the type's sign
            } else {
                QCOMPARE(decoration.typeId(), QMetaType::QImage);
                // The 64 x 48 picture, centred in a clear square: every cell alike.
                const QImage shown = decoration.value<QImage>();
                QCOMPARE(shown.size(), QSize(thumb_loader_c::side, thumb_loader_c::side));
                QCOMPARE(shown.pixelColor(56, 56).rgb(), QColor(200, 40, 40).rgb());
                QCOMPARE(shown.pixelColor(56, 20).alpha(), 0);
            }
        }
        // Scrolling through the whole list in steps, the way a wheel does: cells passed
        // by without a pause are not read.
        const int before = reader.reads->load();
        for (int step = 0; step < 200; ++step) {
            view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() * step / 200);
            QCoreApplication::processEvents();
        }
        view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
        QVERIFY(settle(loader));
        const std::vector<int> last = view.rows_in_sight();
        QCOMPARE(last.back(), 9999);
        QVERIFY(loader.find(items[9998]) != nullptr);
        QVERIFY(loader.find(items[5000]) == nullptr);
        QVERIFY2(reader.reads->load() - before <= 3 * static_cast<int>(last.size()),
                 qPrintable(QString::number(reader.reads->load())));
        QVERIFY(reader.reads->load() < 200);
    }

    void page_toggles_between_table_and_grid() {
        recovery_window_c page;
        page.resize(900, 640);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        QVERIFY(!page.grid_is_shown());
        QVERIFY(page.file_table()->isVisible());
        QCOMPARE(page.view_toggle()->text(), QStringLiteral("Thumbnails"));
        page.view_toggle()->click();
        QVERIFY(page.grid_is_shown());
        QVERIFY(page.picture_grid()->isVisible());
        QVERIFY(!page.file_table()->isVisible());
        // The grid takes the table's place and the preview's above it, under the filter.
        const QRect grid = page.picture_grid()->geometry();
        const QRect table = page.file_table()->geometry();
        const QRect filter = page.findChild<QLineEdit*>(QStringLiteral("le_filter"))->geometry();
        QCOMPARE(grid.left(), table.left());
        QCOMPARE(grid.right(), table.right());
        QCOMPARE(grid.bottom(), table.bottom());
        QVERIFY(grid.top() < table.top() - 100);
        QVERIFY(filter.bottom() < grid.top());
        QCOMPARE(page.view_toggle()->text(), QStringLiteral("Table"));
        // The toggle stands beside the filter line, inside the page.
        QCOMPARE(page.view_toggle()->geometry().top(), filter.top());
        QVERIFY(page.rect().contains(page.view_toggle()->geometry()));
        page.view_toggle()->click();
        QVERIFY(page.file_table()->isVisible());
        const QRect back = page.findChild<QLineEdit*>(QStringLiteral("le_filter"))->geometry();
        QVERIFY(back.bottom() < table.top() && back.top() > grid.top());
    }
};

QTEST_MAIN(test_thumb_grid)
#include "test_thumb_grid.moc"
