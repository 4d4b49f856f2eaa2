// Names of deleted NTFS files that their own records no longer hold, and named data streams,
// on a volume written by ntfs-3g (make_ntfs_names.sh): a file in thousands of runs whose
// extension record the driver emptied, one that only a folder index block's slack still
// names, and files with two alternate streams, live and deleted. Then the pieces on
// hand-made bytes: the removed $FILE_NAME after an end marker, and index entries in slack.
#include "engine/ntfs/ntfs_format.h"
#include "engine/ntfs/ntfs_scan.h"
#include "test_support.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>
#include <vector>

namespace {

struct manifest_entry_s {
    QByteArray status;
    QByteArray sha256;
    quint64 size = 0;
};

QHash<QString, manifest_entry_s> read_manifest(const QString& path) {
    QHash<QString, manifest_entry_s> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return out;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() >= 4) {
            out.insert(QString::fromUtf8(line.mid(f[0].size() + f[1].size() + f[2].size() + 3)),
                       {f[0], f[1], f[2].toULongLong()});
        }
    }
    return out;
}

// A $FILE_NAME value naming name in parent.
QByteArray file_name_value(quint64 parent, const QString& name, int name_space = 1) {
    QByteArray v(0x42, '\0');
    qToLittleEndian(parent, v.data());
    v[0x40] = static_cast<char>(name.size());
    v[0x41] = static_cast<char>(name_space);
    v.append(reinterpret_cast<const char*>(name.utf16()), name.size() * 2);
    return v;
}

// An index entry for file (a reference) named name in folder parent.
QByteArray index_entry(quint64 file, quint64 parent, const QString& name) {
    const QByteArray key = file_name_value(parent, name);
    QByteArray e(16, '\0');
    qToLittleEndian(file, e.data());
    qToLittleEndian(quint16(key.size()), e.data() + 10);
    e += key;
    e.resize((e.size() + 7) / 8 * 8);
    qToLittleEndian(quint16(e.size()), e.data() + 8);
    return e;
}

}  // namespace

class test_ntfs_names : public QObject {
    Q_OBJECT
  private slots:
    void library();
    void tool();
    void removed_file_name_data();
    void removed_file_name();
    void index_slack();
    void index_block();
};

// Every file and stream of the manifest, live and deleted, under its path with its size,
// and written back byte for byte by the library.
void test_ntfs_names::library() {
    if (!fixture_exists("ntfs/ntfsnames.img")) {
        QSKIP("the NTFS fixtures were not unpacked (tests/fixtures/unpack_ntfs_scan.sh)");
    }
    const auto expected = read_manifest(fixture_path("ntfs/ntfsnames.manifest"));
    QCOMPARE(expected.size(), 9);
    use_images({fixture_path("ntfs/ntfsnames.img")});
    ntfs_scan_context context;
    std::memset(&context, 0, sizeof context);
    QCOMPARE(ntfs_scan_startup("/dev/hda0", &context), 0);
    QHash<quint64, ntfs_record> records;
    ntfs_record record;
    while (ntfs_scan_next(&context, &record) && records.size() < 100000) {
        records.insert(record.record_number, record);
    }
    QHash<QString, quint64> by_path;
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        QString path;
        quint64 number = it.key();
        for (int steps = 0; number != 5 && records.contains(number) && steps < 16; ++steps) {
            path.prepend(QLatin1Char('/') + QString::fromUtf16(records[number].name));
            number = records[number].parent_number;
        }
        by_path.insert(path, it.key());
    }
    QVERIFY(!by_path.contains("/[record"));
    QTemporaryDir out;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QVERIFY2(by_path.contains(it.key()), qPrintable(it.key()));
        const ntfs_record& r = records[by_path[it.key()]];
        const bool stream = it.key().contains(QLatin1Char(':'));
        QCOMPARE(bool(r.flags & ntfs_flag_stream), stream);
        QCOMPARE(bool(r.record_number & ntfs_stream_bit), stream);
        QCOMPARE(bool(r.flags & ntfs_flag_deleted), it.value().status == "deleted");
        QCOMPARE(r.size, it.value().size);
        QVERIFY2(r.extra_flags == 0, qPrintable(it.key()));
        const QString to = out.filePath(QString::number(r.record_number));
        QCOMPARE(ntfs_restore_record(&context, r.record_number, to.toUtf8().constData()), 0);
        QCOMPARE(sha256_of_file(to), it.value().sha256);
    }
    // A stream ordinal the file does not have is refused, not read as another stream.
    const quint64 gone = records[by_path["/ads/gone.txt"]].record_number;
    QCOMPARE(ntfs_restore_record(&context, ntfs_stream_key(gone, 3),
                                 out.filePath("none").toUtf8().constData()),
             ntfs_error_no_record);
    ntfs_scan_end(&context);
}

// What the tool lists (deleted files and their streams, under their folders) and restores:
// a stream as "file_stream", every file exact.
void test_ntfs_names::tool() {
    if (!fixture_exists("ntfs/ntfsnames.img")) {
        QSKIP("the NTFS fixtures were not unpacked (tests/fixtures/unpack_ntfs_scan.sh)");
    }
    const auto expected = read_manifest(fixture_path("ntfs/ntfsnames.manifest"));
    QByteArray out, err;
    QCOMPARE(run_orvane({"scan", "--json", fixture_path("ntfs/ntfsnames.img")}, &out, &err), 0);
    QSet<QString> listed;
    for (const QByteArray& line : out.split('\n')) {
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        if (!row.isEmpty() && !row["dir"].toBool()) {
            listed.insert(row["path"].toString());
            QVERIFY(!row["overwritten"].toBool());
        }
    }
    QSet<QString> deleted;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value().status == "deleted") {
            deleted.insert(it.key());
        }
    }
    QCOMPARE(listed, deleted);
    QTemporaryDir to;
    QCOMPARE(
        run_orvane({"restore", "--to", to.path(), fixture_path("ntfs/ntfsnames.img")}, &out, &err),
        0);
    QVERIFY2(out.startsWith("restored 6 of 6 files, 0 failed"), out.constData());
    for (const QString& path : deleted) {
        const QString written = to.path() + QString(path).replace(QLatin1Char(':'), '_');
        QVERIFY2(QFile::exists(written), qPrintable(written));
        QCOMPARE(sha256_of_file(written), expected[path].sha256);
    }
}

void test_ntfs_names::removed_file_name_data() {
    QTest::addColumn<int>("id");            // the id the attribute list gives
    QTest::addColumn<int>("non_resident");  // what the header's byte 8 holds
    QTest::addColumn<int>("value_length");  // 0: the value's own
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("found");
    QTest::newRow("left after the end marker") << 3 << 0 << 0 << "kept.txt" << true;
    QTest::newRow("another attribute's id") << 4 << 0 << 0 << "kept.txt" << false;
    QTest::newRow("not resident") << 3 << 1 << 0 << "kept.txt" << false;
    QTest::newRow("value past the record") << 3 << 0 << 2000 << "kept.txt" << false;
    QTest::newRow("value too short for its name") << 3 << 0 << 0x44 << "kept.txt" << false;
    QTest::newRow("a slash in the name") << 3 << 0 << 0 << "a/b" << false;
}

// An emptied extension record: the end marker at the first attribute, the removed
// $FILE_NAME's header and value after it.
void test_ntfs_names::removed_file_name() {
    QFETCH(int, id);
    QFETCH(int, non_resident);
    QFETCH(int, value_length);
    QFETCH(QString, name);
    QFETCH(bool, found);
    QByteArray record(1024, '\0');
    std::memcpy(record.data(), "FILE", 4);
    qToLittleEndian(quint16(0x38), record.data() + 0x14);  // first attribute
    qToLittleEndian(quint32(0x40), record.data() + 0x18);  // bytes in use: the marker's end
    const QByteArray value = file_name_value(quint64(2) << 48 | 64, name);
    char* h = record.data() + 0x38;
    qToLittleEndian(quint32(0xFFFFFFFF), h);
    h[8] = static_cast<char>(non_resident);
    qToLittleEndian(quint16(3), h + 0x0E);
    qToLittleEndian(quint32(value_length ? value_length : value.size()), h + 0x10);
    qToLittleEndian(quint16(0x18), h + 0x14);
    std::memcpy(h + 0x18, value.constData(), value.size());
    ntfs::file_name_s out;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record.constData());
    QCOMPARE(ntfs::removed_file_name(bytes, record.size(), quint16(id), &out), found);
    if (found) {
        QCOMPARE(QString::fromUtf16(out.name.data(), qsizetype(out.name.size())), name);
        QCOMPARE(out.parent & ntfs::reference_mask, 64u);
        QCOMPARE(out.rank, 1);
    }
}

// Entries in use and in slack are found wherever they start on an 8-byte step; entries of
// another folder, of records not asked for, the end entry and one cut by the end are not.
void test_ntfs_names::index_slack() {
    QByteArray data(16, '\0');  // bytes before the first entry
    data += index_entry(quint64(1) << 48 | 100, 64, "live.txt");
    data += index_entry(quint64(1) << 48 | 101, 65, "other-folder.txt");
    QByteArray end(16, '\0');
    qToLittleEndian(quint16(16), end.data() + 8);
    qToLittleEndian(quint16(2), end.data() + 12);
    data += end;
    data += QByteArray(24, 'x');  // what a shift left of a shorter entry leaves
    data += index_entry(quint64(3) << 48 | 102, 64, "in-slack.bin");
    data += index_entry(quint64(1) << 48 | 103, 64, "not-wanted.bin");
    const QByteArray cut = index_entry(quint64(1) << 48 | 104, 64, "cut-off.bin");
    data += cut.left(cut.size() - 8);
    std::vector<ntfs::index_name_s> found;
    const auto wanted = [](std::uint64_t n) { return n != 103; };
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
    ntfs::find_index_names(bytes, 16, std::size_t(data.size()), 64, wanted, &found);
    QCOMPARE(found.size(), std::size_t(2));
    QCOMPARE(found[0].file_reference, quint64(1) << 48 | 100);
    QCOMPARE(found[1].file_reference, quint64(3) << 48 | 102);
    QCOMPARE(QString::fromUtf16(found[1].file_name.name.data(), 12), QString("in-slack.bin"));
}

// An index block's signature, fixups and header bound what is searched.
void test_ntfs_names::index_block() {
    QByteArray block(4096, '\0');
    char* b = block.data();
    std::memcpy(b, "INDX", 4);
    qToLittleEndian(quint16(0x28), b + 4);  // update sequence array offset
    qToLittleEndian(quint16(9), b + 6);     // its words: the number and one per 512 bytes
    qToLittleEndian(quint16(0x0102), b + 0x28);
    for (int i = 1; i <= 8; ++i) {
        qToLittleEndian(quint16(0x0102), b + i * 512 - 2);
    }
    qToLittleEndian(quint32(0x28), b + 0x18);         // first entry, from 0x18
    qToLittleEndian(quint32(0x100), b + 0x1C);        // bytes in use
    qToLittleEndian(quint32(4096 - 0x18), b + 0x20);  // bytes allocated
    std::size_t entries = 0, used = 0, allocated = 0;
    QByteArray torn = block;
    torn[1022] = 'Z';
    QVERIFY(!ntfs::open_index_block(reinterpret_cast<std::uint8_t*>(torn.data()), 4096, &entries,
                                    &used, &allocated));
    QByteArray wrong = block;
    qToLittleEndian(quint32(0x10000), wrong.data() + 0x20);  // allocated past the block
    QVERIFY(ntfs::open_index_block(reinterpret_cast<std::uint8_t*>(wrong.data()), 4096, &entries,
                                   &used, &allocated));
    QCOMPARE(allocated, std::size_t(4096));
    QVERIFY(ntfs::open_index_block(reinterpret_cast<std::uint8_t*>(block.data()), 4096, &entries,
                                   &used, &allocated));
    QCOMPARE(entries, std::size_t(0x40));
    QCOMPARE(used, std::size_t(0x118));
    QCOMPARE(allocated, std::size_t(4096));
}

QTEST_GUILESS_MAIN(test_ntfs_names)
#include "test_ntfs_names.moc"
