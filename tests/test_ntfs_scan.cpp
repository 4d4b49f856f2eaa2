// The NTFS library over volumes written by mkntfs and the ntfs-3g driver (512-byte, 4 KiB
// and 64 KiB clusters), and over a small volume with 4 KiB records built here byte by byte
// to hold what real tools rarely write: data in extension records, damaged records, runs
// past the volume and an $MFT whose runs loop.
#include "device/platform/platform_device.h"
#include "engine/ntfs/ntfs_format.h"
#include "engine/ntfs/ntfs_scan.h"
#include "test_support.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>

namespace {

struct fetched_s {
    QHash<quint64, ntfs_record> records;
    int count = 0;
};

// Starts a scan of device and fetches every record; the context stays open.
int scan_all(const char* device, ntfs_scan_context* context, fetched_s* out) {
    std::memset(context, 0, sizeof *context);
    const int started = ntfs_scan_startup(device, context);
    if (started < 0) {
        return started;
    }
    ntfs_record record;
    while (ntfs_scan_next(context, &record) && out->count < 100000) {
        out->records.insert(record.record_number, record);
        ++out->count;
    }
    return started;
}

QString name_of(const ntfs_record& r) {
    return QString::fromUtf16(r.name);
}

// The '/'-separated path of a record through its parents.
QString path_of(const fetched_s& f, quint64 number) {
    QString path;
    for (int steps = 0; number != 5 && steps < 64; ++steps) {
        const ntfs_record& r = f.records[number];
        path.prepend(QLatin1Char('/') + name_of(r));
        number = r.parent_number;
    }
    return path;
}

// A volume of 4 KiB clusters and 4 KiB records: $MFT at cluster 4, 20 records.
class mini_volume_c {
  public:
    static constexpr int cs = 4096;
    static constexpr int records = 20;
    static constexpr int mft_lcn = 4;
    QByteArray image = QByteArray(64 * cs, '\0');

    mini_volume_c() {
        char* b = image.data();
        std::memcpy(b + 3, "NTFS    ", 8);
        put16(0x0B, 512);
        b[0x0D] = 8;
        put64(0x28, 64 * 8);
        put64(0x30, mft_lcn);
        b[0x40] = 1;  // one cluster per record
        b[510] = 0x55;
        b[511] = static_cast<char>(0xAA);
    }
    void put16(qsizetype at, quint16 v) { qToLittleEndian(v, image.data() + at); }
    void put64(qsizetype at, quint64 v) { qToLittleEndian(v, image.data() + at); }

    static QByteArray resident(quint32 type, const QByteArray& value) {
        QByteArray a(0x18, '\0');
        qToLittleEndian(type, a.data());
        qToLittleEndian(quint16(0x18), a.data() + 0x14);
        qToLittleEndian(quint32(value.size()), a.data() + 0x10);
        a += value;
        a.resize((a.size() + 7) / 8 * 8);
        qToLittleEndian(quint32(a.size()), a.data() + 4);
        return a;
    }
    // runs: (lcn or -1 for sparse, length) pairs, 4-byte fields.
    static QByteArray data(quint64 vcn, QList<QPair<qint64, quint32>> runs, quint64 size,
                           quint64 initialized) {
        QByteArray a(0x40, '\0');
        qToLittleEndian(quint32(0x80), a.data());
        a[8] = 1;
        qToLittleEndian(vcn, a.data() + 0x10);
        qToLittleEndian(quint16(0x40), a.data() + 0x20);
        qToLittleEndian(size, a.data() + 0x30);
        qToLittleEndian(initialized, a.data() + 0x38);
        qint64 lcn = 0;
        for (const auto& run : runs) {
            char field[9];
            field[0] = run.first < 0 ? 0x04 : 0x44;
            qToLittleEndian(run.second, field + 1);
            qToLittleEndian(qint32(run.first - lcn), field + 5);
            a.append(field, run.first < 0 ? 5 : 9);
            lcn = run.first < 0 ? lcn : run.first;
        }
        a.append('\0');
        a.resize((a.size() + 7) / 8 * 8);
        qToLittleEndian(quint32(a.size()), a.data() + 4);
        return a;
    }
    static QByteArray file_name(quint64 parent, const QString& name) {
        QByteArray v(0x42, '\0');
        qToLittleEndian(parent, v.data());
        v[0x40] = static_cast<char>(name.size());
        v[0x41] = 1;
        v.append(reinterpret_cast<const char*>(name.utf16()), name.size() * 2);
        return resident(0x30, v);
    }
    static QByteArray standard_information(qint64 unix_write) {
        QByteArray v(48, '\0');
        qToLittleEndian(quint64((unix_write + 11644473600LL) * 10000000), v.data() + 8);
        return resident(0x10, v);
    }
    static QByteArray list_entry(quint32 type, quint64 vcn, quint64 record) {
        QByteArray e(0x20, '\0');
        qToLittleEndian(type, e.data());
        qToLittleEndian(quint16(0x20), e.data() + 4);
        qToLittleEndian(vcn, e.data() + 8);
        qToLittleEndian(record, e.data() + 0x10);
        return e;
    }
    // Writes record n with its update sequence array protecting each 512-byte stride.
    void record(int n, quint16 flags, quint64 base, const QByteArray& attributes) {
        QByteArray r(cs, '\0');
        std::memcpy(r.data(), "FILE", 4);
        qToLittleEndian(quint16(0x30), r.data() + 4);
        qToLittleEndian(quint16(cs / 512 + 1), r.data() + 6);
        qToLittleEndian(quint16(0x48), r.data() + 0x14);
        qToLittleEndian(flags, r.data() + 0x16);
        qToLittleEndian(base, r.data() + 0x20);
        r.replace(0x48, attributes.size(), attributes);
        qToLittleEndian(quint32(0xFFFFFFFF), r.data() + 0x48 + attributes.size());
        qToLittleEndian(quint32(0x48 + attributes.size() + 8), r.data() + 0x18);
        qToLittleEndian(quint16(0x1234), r.data() + 0x30);
        for (int i = 1; i <= cs / 512; ++i) {
            r[0x30 + 2 * i] = r[i * 512 - 2];
            r[0x30 + 2 * i + 1] = r[i * 512 - 1];
            qToLittleEndian(quint16(0x1234), r.data() + i * 512 - 2);
        }
        image.replace((mft_lcn + n) * cs, cs, r);
    }
    void fill_cluster(int lcn, char c) { image.replace(lcn * cs, cs, QByteArray(cs, c)); }
};

// Builds the volume all the damaged-record cases share.
mini_volume_c make_mini_volume(bool looping_mft) {
    mini_volume_c v;
    using m = mini_volume_c;
    QList<QPair<qint64, quint32>> mft_runs{{m::mft_lcn, m::records}};
    if (looping_mft) {
        for (int i = 0; i < 40; ++i) {
            mft_runs.append({m::mft_lcn, m::records});  // the same clusters over and over
        }
    }
    const quint64 mft_bytes = quint64(mft_runs.size()) * m::records * m::cs;
    v.record(0, 1, 0, m::file_name(5, "$MFT") + m::data(0, mft_runs, mft_bytes, mft_bytes));
    v.record(5, 3, 0, m::file_name(5, "."));
    v.record(6, 1, 0, m::file_name(5, "$Bitmap") + m::data(0, {{2, 1}}, 8, 8));
    v.image[2 * m::cs + 3] = 0x40;  // $Bitmap: cluster 30 is in use
    // 12: a deleted file whose data lives in extension records 13 and 14; its list also
    // names itself and record 15, which belongs to another file.
    QByteArray list = m::list_entry(0x30, 0, 12) + m::list_entry(0x80, 0, 13) +
                      m::list_entry(0x80, 2, 14) + m::list_entry(0x80, 0, 15);
    v.record(12, 0, 0,
             m::standard_information(1700000000) + m::resident(0x20, list) +
                 m::file_name(5, "frag.dat"));
    v.record(13, 0, 12, m::data(0, {{24, 2}}, 3 * m::cs + 100, 3 * m::cs + 100));
    v.record(14, 0, 12, m::data(2, {{-1, 1}, {26, 1}}, 0, 0));
    v.fill_cluster(24, 'a');
    v.fill_cluster(25, 'b');
    v.fill_cluster(26, 'c');
    // 15: deleted, its cluster taken again; only half of it was ever written.
    v.record(15, 0, 0, m::file_name(5, "over.dat") + m::data(0, {{30, 1}}, 3000, 1000));
    v.fill_cluster(30, 'o');
    v.record(16, 1, 0, m::file_name(5, "torn.dat"));
    v.image[(m::mft_lcn + 16) * m::cs + 1022] = 0x77;  // a stride whose tail does not match
    // 17: the name claims more characters than its attribute holds.
    QByteArray long_name = m::file_name(5, "x");
    long_name[0x18 + 0x40] = static_cast<char>(200);
    v.record(17, 1, 0, long_name);
    // 18: an attribute whose length runs past the record, after a good name.
    QByteArray broken = m::data(0, {{24, 1}}, 10, 10);
    qToLittleEndian(quint32(0x7FFFFFF0), broken.data() + 4);
    v.record(18, 0, 0, m::file_name(5, "broken.dat") + broken);
    // 7: a sparse file of 256 GiB on this 256 KiB volume, one cluster of data first.
    const quint64 huge = (1ull << 26) + 1;
    v.record(7, 0, 0,
             m::file_name(5, "huge.dat") +
                 m::data(0, {{24, 1}, {-1, huge - 1}}, huge * m::cs, huge * m::cs));
    // 19: runs that point past the end of the volume.
    v.record(19, 0, 0, m::file_name(5, "far.dat") + m::data(0, {{1000, 5}}, 5 * m::cs, 5 * m::cs));
    return v;
}

}  // namespace

class test_ntfs_scan : public QObject {
    Q_OBJECT
  private slots:
    void fixtures_data();
    void fixtures();
    void device_names_data();
    void device_names();
    void damaged_records();
    void looping_mft();
};

void test_ntfs_scan::fixtures_data() {
    QTest::addColumn<QString>("image");
    QTest::newRow("512-byte clusters") << "ntfs/ntfs512.img";
    QTest::newRow("4 KiB clusters") << "ntfs/ntfs4k.img";
    QTest::newRow("64 KiB clusters") << "ntfs/ntfs64k.img";
}

// Every file the manifest names is found under its own path; every deleted one whose
// clusters are intact comes back byte for byte; the overwritten one is flagged.
void test_ntfs_scan::fixtures() {
    QFETCH(QString, image);
    if (!fixture_exists(image)) {
        QSKIP("the NTFS fixtures were not unpacked (tests/fixtures/unpack_ntfs_scan.sh)");
    }
    use_images({fixture_path(image)});
    ntfs_scan_context context;
    fetched_s found;
    QCOMPARE(scan_all("/dev/hda0", &context, &found), 0);
    QHash<QString, quint64> by_path;
    for (auto it = found.records.cbegin(); it != found.records.cend(); ++it) {
        by_path.insert(path_of(found, it.key()), it.key());
    }
    QVERIFY(by_path.contains("/$MFT") && by_path.value("/$Bitmap") == 6);
    // Every record was examined once: in use, not in use or damaged.
    QCOMPARE(context.term_c + 8 * (qint64(context.term_a) + context.term_b),
             context.progress_denominator);
    QTemporaryDir out;
    QFile manifest(fixture_path(QString(image).replace(".img", ".manifest")));
    QVERIFY(manifest.open(QIODevice::ReadOnly));
    int restored = 0;
    for (const QByteArray& line : manifest.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 4 || f[0] == "live-unchecked" || line.endsWith("/linked.bin")) {
            continue;
        }
        const QString path =
            QString::fromUtf8(line.mid(f[0].size() + f[1].size() + f[2].size() + 3));
        QVERIFY2(by_path.contains(path), qPrintable(path));
        const ntfs_record& r = found.records[by_path[path]];
        QCOMPARE(r.size, f[2].toULongLong());
        QCOMPARE(bool(r.flags & ntfs_flag_deleted), f[0] != "live");
        QCOMPARE(bool(r.extra_flags & ntfs_extra_overwritten), f[0] == "deleted-overwritten");
        QCOMPARE(r.write_time, 1704164645);
        if (f[0] == "deleted" || f[0] == "deleted-in-folder") {
            const QString to = out.filePath(QString::number(r.record_number));
            QCOMPARE(ntfs_restore_record(&context, r.record_number, to.toUtf8().constData()), 0);
            QCOMPARE(sha256_of_file(to), f[1]);
            ++restored;
        }
    }
    QVERIFY(restored >= 25);
    // The live file with eight hard links keeps names in extension records: whichever name
    // is shown, the record is whole.
    int linked = 0;
    for (auto it = by_path.cbegin(); it != by_path.cend(); ++it) {
        linked += it.key().startsWith("/many/link") && found.records[it.value()].size == 20000;
    }
    QCOMPARE(linked, 1);
    QCOMPARE(ntfs_restore_record(&context, 5, out.filePath("root").toUtf8().constData()),
             ntfs_error_no_record);
    ntfs_scan_end(&context);
    QCOMPARE(context.started, 0);
}

void test_ntfs_scan::device_names_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("result");
    QTest::newRow("NTFS partition 2") << "/dev/hda2" << 0;
    QTest::newRow("FAT partition") << "/dev/hda1" << ntfs_error_not_ntfs;
    QTest::newRow("no partition 9") << "/dev/hda9" << ntfs_error_no_volume;
    QTest::newRow("no drive b") << "/dev/hdb1" << ntfs_error_no_volume;
    QTest::newRow("not a device name") << "/dev/sda1" << ntfs_error_device_name;
    QTest::newRow("no number") << "/dev/hda" << ntfs_error_device_name;
}

void test_ntfs_scan::device_names() {
    QFETCH(QString, device);
    QFETCH(int, result);
    if (!fixture_exists("disks/mbr.img")) {
        QSKIP("the disk fixtures were not made (tests/fixtures/make_disks.sh)");
    }
    use_images({fixture_path("disks/mbr.img")});
    ntfs_scan_context context;
    fetched_s found;
    QCOMPARE(scan_all(device.toLatin1().constData(), &context, &found), result);
    QCOMPARE(context.started, result == 0 ? 1 : 0);
    if (result == 0) {
        QCOMPARE(name_of(found.records[5]), QStringLiteral("."));  // the empty volume's root
        ntfs_scan_end(&context);
    }
}

void test_ntfs_scan::damaged_records() {
    const mini_volume_c v = make_mini_volume(false);
    memory_volume("mini", std::make_shared<const QByteArray>(v.image), "NTFS");
    ntfs_scan_context context;
    fetched_s found;
    QCOMPARE(scan_all("/dev/hda0", &context, &found), 0);
    QCOMPARE(context.progress_denominator, 8 * 20);
    QCOMPARE(context.term_c, 8);  // the torn record
    QCOMPARE(found.records.keys().size(), found.count);
    for (quint64 gone : {13, 14, 16, 17}) {
        QVERIFY2(!found.records.contains(gone), qPrintable(QString::number(gone)));
    }
    const ntfs_record& frag = found.records[12];
    QCOMPARE(name_of(frag), QStringLiteral("frag.dat"));
    QCOMPARE(frag.size, quint64(3 * 4096 + 100));
    QCOMPARE(frag.flags, ntfs_flag_file | ntfs_flag_deleted);
    QCOMPARE(frag.write_time, 1700000000);
    QCOMPARE(frag.extra_flags, 0u);
    QCOMPARE(found.records[15].extra_flags, ntfs_extra_overwritten);
    QCOMPARE(found.records[18].size, 0u);
    QCOMPARE(found.records[19].extra_flags, ntfs_extra_unreadable);

    QTemporaryDir out;
    const QByteArray to = out.filePath("f").toUtf8();
    QCOMPARE(ntfs_restore_record(&context, 12, to.constData()), 0);
    QFile file(out.filePath("f"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(4096, 'a') + QByteArray(4096, 'b') +
                                 QByteArray(4096, '\0') + QByteArray(100, 'c'));
    file.close();
    QCOMPARE(ntfs_restore_record(&context, 15, to.constData()), 0);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray(1000, 'o') + QByteArray(2000, '\0'));
    file.close();
    QVERIFY(ntfs_restore_record(&context, 19, to.constData()) != 0);
    // Holes are skipped, not written: the file is cut to its size.
    QCOMPARE(ntfs_restore_record(&context, 7, to.constData()), 0);
    QCOMPARE(QFileInfo(out.filePath("f")).size(), qint64(((1ll << 26) + 1) * 4096));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.read(4097), QByteArray(4096, 'a') + '\0');
    file.close();
    QCOMPARE(ntfs_restore_record(&context, 16, to.constData()), ntfs_error_no_record);
    QCOMPARE(ntfs_restore_record(&context, 12, "/nonexistent/dir/f"), ntfs_error_write);
    ntfs_scan_end(&context);
    QCOMPARE(ntfs_restore_record(&context, 12, to.constData()), ntfs_error_no_scan);
}

// Runs that read the same clusters again and again end with the volume's size.
void test_ntfs_scan::looping_mft() {
    const mini_volume_c v = make_mini_volume(true);
    memory_volume("loop", std::make_shared<const QByteArray>(v.image), "NTFS");
    ntfs_scan_context context;
    fetched_s found;
    QCOMPARE(scan_all("/dev/hda0", &context, &found), 0);
    QCOMPARE(context.progress_denominator, 8 * 64);  // capped at the volume's 64 records
    QVERIFY(found.count <= 64);
    ntfs_scan_end(&context);
}

QTEST_GUILESS_MAIN(test_ntfs_scan)
#include "test_ntfs_scan.moc"
