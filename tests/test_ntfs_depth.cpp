// NTFS beyond plain deleted files, on volumes written by ntfs-3g (make_ntfs_depth.sh):
// folders whose records were taken again (orphans), clusters taken by a later file that was
// deleted too, and compressed files; and the pieces behind them on hand-made input: LZNT1
// units, the sweep over every record's clusters, the drive names.
#include "engine/ntfs/ntfs_format.h"
#include "engine/ntfs/ntfs_recovery.h"
#include "engine/ntfs/ntfs_state.h"
#include "test_support.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

struct expected_s {
    QByteArray status;
    QByteArray sha256;
};

// manifest path -> status and digest
QHash<QString, expected_s> read_manifest(const QString& path) {
    QHash<QString, expected_s> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return out;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() >= 4) {
            out.insert(QString::fromUtf8(line.mid(f[0].size() + f[1].size() + f[2].size() + 3)),
                       {f[0], f[1]});
        }
    }
    return out;
}

// Where a file of the manifest is listed: orphans in the folder of orphaned files.
QString listed_path(const QString& path, const expected_s& e) {
    if (e.status != "deleted-orphan") {
        return path;
    }
    return QLatin1Char('/') + ntfs_recovery_c::orphans_folder_name() + QLatin1Char('/') +
           QFileInfo(path).fileName();
}

// One claim for the sweep: clusters [first, end) of owner (record number; the sequence
// number given is the one the claim's reference carries).
struct claim_case_s {
    quint64 first;
    quint64 end;
    quint64 owner;
    quint16 sequence;
};
struct owner_case_s {
    quint64 number;
    quint64 ticks;
    quint16 sequence;
    bool in_use;
};

}  // namespace

Q_DECLARE_METATYPE(QList<claim_case_s>)
Q_DECLARE_METATYPE(QList<owner_case_s>)

class test_ntfs_depth : public QObject {
    Q_OBJECT
  private slots:
    void volumes_data();
    void volumes();
    void lznt1_units_data();
    void lznt1_units();
    void overwritten_sweep_data();
    void overwritten_sweep();
    void drive_names();
};

void test_ntfs_depth::volumes_data() {
    QTest::addColumn<QString>("image");
    QTest::newRow("512-byte clusters") << "ntfs/ntfsdepth512";
    QTest::newRow("4 KiB clusters") << "ntfs/ntfsdepth4k";
    QTest::newRow("64 KiB clusters") << "ntfs/ntfsdepth64k";
}

// What the tool lists, flags and restores; --skip-overwritten writes no wrong file and
// still every intact one.
void test_ntfs_depth::volumes() {
    QFETCH(QString, image);
    if (!fixture_exists(image + ".img")) {
        QSKIP("the NTFS fixtures were not unpacked (tests/fixtures/unpack_ntfs_scan.sh)");
    }
    const QHash<QString, expected_s> expected = read_manifest(fixture_path(image + ".manifest"));
    QVERIFY(expected.size() >= 10);
    QByteArray out, err;
    QCOMPARE(run_orvane({"scan", "--json", fixture_path(image + ".img")}, &out, &err), 0);
    QHash<QString, bool> listed;  // path -> overwritten
    for (const QByteArray& line : out.split('\n')) {
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        if (!row.isEmpty() && !row["dir"].toBool()) {
            listed.insert(row["path"].toString(), row["overwritten"].toBool());
        }
    }
    int deleted = 0;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!it.value().status.startsWith("deleted")) {
            continue;
        }
        ++deleted;
        const QString path = listed_path(it.key(), it.value());
        QVERIFY2(listed.contains(path), qPrintable(path));
        QCOMPARE(listed.value(path), it.value().status == "deleted-overwritten");
    }
    QCOMPARE(listed.size(), deleted);  // nothing else, and nothing under the new folder /B

    QTemporaryDir all;
    QCOMPARE(run_orvane({"restore", "--to", all.path(), fixture_path(image + ".img")}, &out, &err),
             0);
    QVERIFY2(out.contains("0 failed, 1 possibly overwritten"), out.constData());
    QTemporaryDir skipping;
    QCOMPARE(run_orvane({"restore", "--skip-overwritten", "--to", skipping.path(),
                         fixture_path(image + ".img")},
                        &out, &err),
             0);
    const QByteArray summary = QByteArray("restored ") + QByteArray::number(deleted - 1) + " of " +
                               QByteArray::number(deleted - 1) + " files";
    QVERIFY2(out.startsWith(summary), out.constData());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!it.value().status.startsWith("deleted")) {
            continue;
        }
        const QString path = listed_path(it.key(), it.value());
        if (it.value().status == "deleted-overwritten") {
            QVERIFY(QFile::exists(all.path() + path));
            QVERIFY(!QFile::exists(skipping.path() + path));
            continue;
        }
        QCOMPARE(sha256_of_file(all.path() + path), it.value().sha256);
        QCOMPARE(sha256_of_file(skipping.path() + path), it.value().sha256);
    }
}

void test_ntfs_depth::lznt1_units_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("out_size");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("plain");  // the start of what comes out
    // Hex with blanks between the header, the flag bytes and the tokens.
    // "abc", then 9 bytes from 3 back: token (3 - 1) << 12 | (9 - 3).
    const QByteArray repeat = QByteArray::fromHex("05b0 08616263 0620");
    QTest::newRow("literals and a copy that overlaps itself")
        << repeat << 8192 << true << QByteArray("abcabcabcabc");
    QByteArray two = repeat;
    two.append(QByteArray::fromHex("03b0 00787879"));  // a second chunk: "xxy"
    QTest::newRow("the second chunk starts at 4096")
        << two << 8192 << true << QByteArray("abcabcabcabc") + QByteArray(4096 - 12, '\0') + "xxy";
    QByteArray raw = QByteArray::fromHex("ff3f");  // uncompressed, 4096 bytes
    raw.append(QByteArray(4096, 'r'));
    QTest::newRow("a chunk stored as it is") << raw << 4096 << true << QByteArray(4096, 'r');
    QTest::newRow("a copy from before the chunk")
        << QByteArray::fromHex("03b0 02 61 0030") << 4096 << false << QByteArray();
    QTest::newRow("a copy at the very start")
        << QByteArray::fromHex("02b0 01 0000") << 4096 << false << QByteArray();
    QTest::newRow("a chunk longer than the input")
        << QByteArray::fromHex("ffbf 00616263") << 4096 << false << QByteArray();
    QTest::newRow("a wrong signature")
        << QByteArray::fromHex("05a0 08616263 0620") << 4096 << false << QByteArray();
    // "a", then 4095 bytes from 1 back fill the chunk; one more byte would pass its end.
    QTest::newRow("a copy up to the chunk's end")
        << QByteArray::fromHex("03b00261fc0f") << 4096 << true << QByteArray(4096, 'a');
    QTest::newRow("a copy past the chunk's end")
        << QByteArray::fromHex("03b00261fd0f") << 4096 << false << QByteArray();
    QTest::newRow("more than the output holds") << repeat << 10 << false << QByteArray();
    QTest::newRow("nothing stored") << QByteArray(64, '\0') << 4096 << true << QByteArray(16, '\0');
}

// Exact bytes from good units, failure from bad ones, and never a byte past the output.
void test_ntfs_depth::lznt1_units() {
    QFETCH(QByteArray, stored);
    QFETCH(int, out_size);
    QFETCH(bool, ok);
    QFETCH(QByteArray, plain);
    QByteArray out(out_size + 64, '\x5a');
    QCOMPARE(
        ntfs::lznt1_decompress(reinterpret_cast<const std::uint8_t*>(stored.constData()),
                               std::size_t(stored.size()),
                               reinterpret_cast<std::uint8_t*>(out.data()), std::size_t(out_size)),
        ok);
    QCOMPARE(out.mid(out_size), QByteArray(64, '\x5a'));
    if (ok) {
        QCOMPARE(out.left(plain.size()), plain);
        QCOMPARE(out.mid(plain.size(), out_size - plain.size()),
                 QByteArray(out_size - plain.size(), '\0'));
    }
}

void test_ntfs_depth::overwritten_sweep_data() {
    QTest::addColumn<QList<owner_case_s>>("owners");
    QTest::addColumn<QList<claim_case_s>>("claims");
    QTest::addColumn<QList<quint64>>("overwritten");
    QTest::newRow("a later deleted file took clusters")
        << QList<owner_case_s>{{20, 100, 1, false}, {21, 200, 1, false}}
        << QList<claim_case_s>{{0, 10, 20, 1}, {5, 8, 21, 1}} << QList<quint64>{20};
    QTest::newRow("an earlier deleted file lost nothing")
        << QList<owner_case_s>{{20, 300, 1, false}, {21, 200, 1, false}}
        << QList<claim_case_s>{{0, 10, 20, 1}, {5, 8, 21, 1}} << QList<quint64>{21};
    QTest::newRow("a live file took clusters")
        << QList<owner_case_s>{{20, 900, 1, false}, {30, 1, 1, true}}
        << QList<claim_case_s>{{100, 101, 20, 1}, {50, 150, 30, 1}} << QList<quint64>{20};
    QTest::newRow("changed at the same time: both")
        << QList<owner_case_s>{{20, 100, 1, false}, {21, 100, 1, false}}
        << QList<claim_case_s>{{0, 10, 20, 1}, {9, 12, 21, 1}} << QList<quint64>{20, 21};
    QTest::newRow("clusters next to each other")
        << QList<owner_case_s>{{20, 100, 1, false}, {21, 200, 1, true}}
        << QList<claim_case_s>{{0, 10, 20, 1}, {10, 12, 21, 1}} << QList<quint64>{};
    QTest::newRow("a file's own runs overlap")
        << QList<owner_case_s>{{20, 100, 1, false}}
        << QList<claim_case_s>{{0, 10, 20, 1}, {5, 15, 20, 1}, {0, 3, 20, 1}} << QList<quint64>{};
    QTest::newRow("a live file, and a stale claim left out")
        << QList<owner_case_s>{{20, 100, 3, false}, {21, 200, 1, true}}
        << QList<claim_case_s>{{0, 10, 20, 3}, {0, 10, 21, 1}, {40, 50, 20, 1}}
        << QList<quint64>{20};
    QTest::newRow("a stale extension record claims nothing")
        << QList<owner_case_s>{{20, 100, 3, false}}
        << QList<claim_case_s>{{0, 10, 20, 3}, {5, 6, 21, 1}} << QList<quint64>{};
    QTest::newRow("one long newer run over many older files")
        << QList<owner_case_s>{{20, 1, 1, false},
                               {21, 2, 1, false},
                               {22, 3, 1, false},
                               {23, 9, 1, false}}
        << QList<claim_case_s>{{0, 2, 20, 1}, {4, 6, 21, 1}, {8, 9, 22, 1}, {1, 100, 23, 1}}
        << QList<quint64>{20, 21, 22};
}

// Which deleted files the sweep over all claims marks.
void test_ntfs_depth::overwritten_sweep() {
    QFETCH(QList<owner_case_s>, owners);
    QFETCH(QList<claim_case_s>, claims);
    QFETCH(QList<quint64>, overwritten);
    ntfs::scan_state_s s;
    for (const owner_case_s& o : owners) {
        s.owners.push_back({o.number, o.ticks, o.sequence, o.in_use});
    }
    for (const claim_case_s& c : claims) {
        s.claims.push_back({c.first, c.end, c.owner | quint64(c.sequence) << 48});
    }
    ntfs::sort_claims(&s);
    QCOMPARE(QList<quint64>(s.overwritten.begin(), s.overwritten.end()), overwritten);
}

// Every drive the device layer can list has a name the library reads back.
void test_ntfs_depth::drive_names() {
    for (int disk = 0; disk < 800; ++disk) {
        volume_item_s target;
        target.disk_number = disk;
        target.partition_number = disk % 7;
        const QByteArray name = ntfs_recovery_c::device_name(target);
        int drive = -1;
        int partition = -1;
        QVERIFY2(ntfs::parse_device_name(name.constData(), &drive, &partition), name.constData());
        QCOMPARE(drive, disk);
        QCOMPARE(partition, disk % 7);
    }
    int drive = 0;
    int partition = 0;
    for (const char* bad :
         {"/dev/hd1", "/dev/hdA1", "/dev/hdabcd1", "/dev/hdk", "/dev/sdk1", "/dev/hdk1x"}) {
        QVERIFY2(!ntfs::parse_device_name(bad, &drive, &partition), bad);
    }
}

QTEST_GUILESS_MAIN(test_ntfs_depth)
#include "test_ntfs_depth.moc"
