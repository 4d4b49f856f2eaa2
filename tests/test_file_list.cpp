// Found-file records and the folders and files an engine's results show, over FAT volumes
// shaped by hand.
#include "device/drive_list.h"
#include "engine/fat/fat_recovery.h"
#include "fat_image.h"
#include "result/file_list.h"
#include "result/recovery_item.h"
#include "test_support.h"

#include <QtTest>

namespace {

// Root: a deleted file, a deleted empty file (no cluster), a live folder DOCS holding a
// deleted file and a deleted folder OLD holding one more, and a live folder EMPTY holding
// nothing deleted.
std::unique_ptr<fat_image_c> small_tree() {
    QString error;
    auto image = fat_image_c::make(1440, {"-F", "12", "-s", "1", "-S", "512"}, &error);
    if (!image) {
        qWarning("mkfs.fat failed: %s", qPrintable(error));
        return nullptr;
    }
    const std::uint64_t root = image->root_offset();
    image->put_entry(root, "GONE    TXT", 0x20, 40, 100, true);
    image->put_entry(root + 32, "ZERO    TXT", 0x20, 0, 0, true);
    image->put_entry(root + 64, "DOCS       ", fat_attr_directory, 10, 0);
    image->put_entry(root + 96, "EMPTY      ", fat_attr_directory, 11, 0);
    image->set_fat(10, 0xFFF);
    image->set_fat(11, 0xFFF);
    image->put_entry(image->cluster_offset(10), "NOTE    TXT", 0x20, 50, 300, true);
    image->put_entry(image->cluster_offset(10) + 32, "OLD        ", fat_attr_directory, 12, 0,
                     true);
    image->put_entry(image->cluster_offset(12), "INNER   BIN", 0x20, 60, 512, true);
    image->put_entry(image->cluster_offset(11), "LIVE    TXT", 0x20, 70, 5, false);
    return image;
}

}  // namespace

class test_file_list : public QObject {
    Q_OBJECT
    fat_recovery_c engine;

  private slots:
    void initTestCase() {
        register_result_meta_types();
        auto image = small_tree();
        QVERIFY(image);
        engine.set_target(memory_volume("tree", image->shared()));
        engine.start();
        QVERIFY(engine.wait(30000));
    }

    // The tree shows folders with files below them, each after its parent; EMPTY has none.
    void folders_hold_found_files() {
        const auto folders = list_result_folders(&engine, engine_fat);
        QStringList paths;
        for (const result_folder_s& f : folders) {
            paths << f.path;
        }
        QCOMPARE(paths, (QStringList{"/", "/DOCS", "/DOCS/#LD"}));
        QCOMPARE(folders[1].item.file_key, 10U);
        QCOMPARE(folders[2].item.attributes, fat_attr_directory | fat_attr_deleted);
        QVERIFY(list_result_folders(&engine, engine_ntfs).empty());  // not this engine's kind
    }

    // No folder is ever a row, a deleted empty file is (it is restored empty); a record
    // carries the node's fields.
    void files_of_a_folder_data() {
        QTest::addColumn<quint64>("folder");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("root") << quint64(0) << QStringList{"#ERO.TXT", "#ONE.TXT"};
        QTest::newRow("live folder") << quint64(10) << QStringList{"#OTE.TXT"};
        QTest::newRow("deleted folder") << quint64(12) << QStringList{"#NNER.BIN"};
        QTest::newRow("nothing deleted") << quint64(11) << QStringList{};
        QTest::newRow("no such folder") << quint64(999) << QStringList{};
    }
    void files_of_a_folder() {
        QFETCH(quint64, folder);
        QFETCH(QStringList, names);
        std::vector<recovery_item_s> file_list(3);  // filling empties it first
        fill_file_list(file_list, &engine, engine_fat, folder_ref_s{folder, nullptr});
        QStringList got;
        for (const recovery_item_s& item : file_list) {
            got << item.name;
            const fat_node& node = engine.nodes()[static_cast<std::uint32_t>(item.file_key)];
            QCOMPARE(item.size, quint64(node.size));
            QCOMPARE(item.date1, node.write_time);
            QCOMPARE(item.date2, node.creation_time);
            QCOMPARE(item.attributes, std::int32_t(node.attributes));
            QVERIFY(!item.checked);
            QVERIFY(record_is_deleted(engine_fat, item));
        }
        got.sort();
        QCOMPARE(got, names);
    }

    void record_travels_in_a_variant() {
        recovery_item_s item;
        item.name = "#OTE.TXT";
        item.size = 1ULL << 40;
        item.file_key = 0xFFFFFFFFULL;
        item.attributes = 0x60;
        item.overwritten = true;
        const QVariant held = QVariant::fromValue(item);
        QVERIFY(holds_recovery_item(held));
        QCOMPARE(recovery_item_from(held), item);
        QCOMPARE(QString(held.metaType().name()), QStringLiteral("recovery_item_s"));
        QVERIFY(!holds_recovery_item(QVariant(42)));
        QCOMPARE(recovery_item_from(QVariant(QStringLiteral("x"))), recovery_item_s{});
    }
};

QTEST_GUILESS_MAIN(test_file_list)
#include "test_file_list.moc"
