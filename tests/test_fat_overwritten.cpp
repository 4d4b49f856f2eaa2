// A deleted FAT file is restored from its first cluster on, stepping over the clusters in
// use now; it is "possibly overwritten" only when that read is in doubt.
#include "engine/fat/fat_recovery.h"
#include "fat_image.h"
#include "test_support.h"

#include <QtTest>

class test_fat_overwritten : public QObject {
    Q_OBJECT

  private slots:
    // The deleted file starts at cluster 100 and needs three clusters. Each row puts live
    // chains (head first, 0xFFF ending them) around it and says which clusters the restore
    // reads and whether it is in doubt.
    void in_doubt_only_when_the_read_is_data() {
        QTest::addColumn<QList<QList<int>>>("live");
        QTest::addColumn<QList<int>>("read");
        QTest::addColumn<bool>("flagged");
        QTest::newRow("nothing in the way")
            << QList<QList<int>>{} << QList<int>{100, 101, 102} << false;
        QTest::newRow("a whole live file in between")
            << QList<QList<int>>{{101, 102}} << QList<int>{100, 103, 104} << false;
        QTest::newRow("two whole live files in between")
            << QList<QList<int>>{{102}, {101}} << QList<int>{100, 103, 104} << false;
        QTest::newRow("a live file that goes on elsewhere")
            << QList<QList<int>>{{101, 102, 200}} << QList<int>{100, 103, 104} << true;
        QTest::newRow("a live file that comes from elsewhere")
            << QList<QList<int>>{{200, 101, 102}} << QList<int>{100, 103, 104} << true;
        QTest::newRow("the first cluster taken")
            << QList<QList<int>>{{100}} << QList<int>{100, 101, 102} << true;
    }
    void in_doubt_only_when_the_read_is() {
        QFETCH(QList<QList<int>>, live);
        QFETCH(QList<int>, read);
        QFETCH(bool, flagged);
        QString error;
        auto image = fat_image_c::make(1440, {"-F", "12", "-s", "1", "-S", "512"}, &error);
        QVERIFY2(image, qPrintable(error));
        const std::uint32_t cluster = image->cluster_bytes();
        for (std::uint32_t c = 100; c <= 104; ++c) {
            image->bytes().replace(static_cast<qsizetype>(image->cluster_offset(c)), cluster,
                                   QByteArray(cluster, char(c)));
        }
        image->put_entry(image->root_offset(), "GONE    BIN", 0x20, 100, 3 * cluster - 7, true);
        int n = 1;
        for (const QList<int>& chain : live) {
            const QByteArray name = QByteArray("LIVE") + QByteArray::number(n) + "   BIN";
            image->put_entry(image->root_offset() + 32 * n, name.left(11).constData(), 0x20,
                             static_cast<std::uint32_t>(chain.first()),
                             static_cast<std::uint32_t>(chain.size()) * cluster);
            for (int i = 0; i < chain.size(); ++i) {
                image->set_fat(
                    static_cast<std::uint32_t>(chain[i]),
                    i + 1 < chain.size() ? static_cast<std::uint32_t>(chain[i + 1]) : 0xFFF);
            }
            ++n;
        }
        fat_recovery_c engine;
        engine.set_target(memory_volume("doubt", image->shared()));
        engine.start();
        QVERIFY(engine.wait(60000));
        QVERIFY(engine.nodes().contains(100));
        QCOMPARE(engine.nodes()[100].overwritten != 0, flagged);
        QTemporaryDir out;
        QCOMPARE(engine.restore_file(100, out.filePath("gone.bin")), 0);
        QCOMPARE(engine.last_restore_overwritten(), flagged);
        QFile restored(out.filePath("gone.bin"));
        QVERIFY(restored.open(QIODevice::ReadOnly));
        QByteArray expected;
        for (const int c : read) {
            expected += QByteArray(cluster, char(c));
        }
        expected.chop(7);
        QCOMPARE(restored.readAll(), expected);
    }

    // A deleted empty file is listed under its own key and restored empty.
    void deleted_empty_file() {
        QString error;
        auto image = fat_image_c::make(1440, {"-F", "12"}, &error);
        QVERIFY2(image, qPrintable(error));
        image->put_entry(image->root_offset(), "EMPTY   TXT", 0x20, 0, 0, true);
        image->put_entry(image->root_offset() + 32, "AGAIN   TXT", 0x20, 0, 0, true);
        fat_recovery_c engine;
        engine.set_target(memory_volume("empty", image->shared()));
        engine.start();
        QVERIFY(engine.wait(60000));
        QList<std::uint32_t> keys;
        for (auto it = engine.nodes().cbegin(); it != engine.nodes().cend(); ++it) {
            if (it.value().name.endsWith("MPTY.TXT") || it.value().name.endsWith("GAIN.TXT")) {
                keys << it.key();
                QCOMPARE(it.value().parent, 0U);
            }
        }
        QCOMPARE(keys.size(), 2);
        QTemporaryDir out;
        for (const std::uint32_t key : keys) {
            const QString path = out.filePath(QString::number(key));
            QCOMPARE(engine.restore_file(key, path), 0);
            QCOMPARE(QFileInfo(path).size(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(test_fat_overwritten)
#include "test_fat_overwritten.moc"
