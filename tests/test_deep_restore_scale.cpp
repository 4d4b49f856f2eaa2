// Deep scans with many found files, restored through the orvane tool as a user runs it: a
// scan file answers names and patterns without reading the volume, a restore opens a
// container once, and a type of more than ten thousand files goes into numbered folders.
// The tool reports what its device layer did when ORVANE_DEVICE_COUNTS is set.
#include "deep_scan_support.h"
#include "engine/raw/raw_recovery.h"
#include "engine/scan_session.h"
#include "result/file_list.h"
#include "test_support.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// An image of count PNGs, one per 512 bytes (a title "Photo 000042" each when titled).
QByteArray many_pngs(int count, bool titled) {
    QByteArray image(512 * qsizetype(count), '\0');
    for (int i = 0; i < count; ++i) {
        const QByteArray png =
            titled_png(titled ? QByteArray("Photo ") + QByteArray::number(i).rightJustified(6, '0')
                              : QByteArray());
        image.replace(512 * qsizetype(i), png.size(), png);
    }
    return image;
}

bool write_file(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// The counts the tool printed as it ended ("device: 3 drive opens, 0 container opens, 5
// reads, 4096 bytes read"); -1s when it printed none.
struct counts_s {
    qint64 opens = -1;
    qint64 container_opens = -1;
    qint64 reads = -1;
    qint64 bytes = -1;
};
counts_s device_counts(const QByteArray& err) {
    static const QRegularExpression line(
        QStringLiteral("device: (\\d+) drive opens, (\\d+) container opens, (\\d+) reads, "
                       "(\\d+) bytes read"));
    const auto m = line.match(QString::fromUtf8(err));
    if (!m.hasMatch()) {
        return {};
    }
    return {m.captured(1).toLongLong(), m.captured(2).toLongLong(), m.captured(3).toLongLong(),
            m.captured(4).toLongLong()};
}

// A scan file without the units that carry the files' names and dates: as the program
// wrote them before it kept them.
QByteArray without_metadata(const QByteArray& file) {
    QByteArray out = file.left(256);
    for (qsizetype at = 256; at + 32 <= file.size(); at += 32) {
        const QByteArray unit = file.mid(at, 32);
        const QByteArray type = unit.mid(24, 8);
        if (unit.startsWith(QByteArray(8, '\xff')) &&
            (type == QByteArray("\0ORVMET0", 8) || type == QByteArray("\0ORVMTA1", 8) ||
             type == QByteArray("\0ORVMTD1", 8) || type == QByteArray("\0ORVTTL1", 8))) {
            continue;
        }
        out += unit;
    }
    return out;
}

QStringList files_below(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found << QDir(folder).relativeFilePath(it.next());
    }
    found.sort();
    return found;
}

}  // namespace

class test_deep_restore_scale : public QObject {
    Q_OBJECT
    QTemporaryDir temp;
    static constexpr int titled_count = 3000;

  private slots:
    void initTestCase() {
        QVERIFY(temp.isValid());
        qputenv("ORVANE_DEVICE_COUNTS", "1");
    }

    // restore --from --match ONE: the scan file names every file, so the volume is read for
    // the one file restored only, however many the scan found. A scan file written before
    // names were kept still loads and restores the same file under the same name; its names
    // are read from the volume, for the types the pattern may match only.
    void restore_one_from_a_scan_file_reads_little() {
        const QString image = temp.filePath("titled.img");
        const QByteArray bytes = many_pngs(titled_count, true);
        QVERIFY(write_file(image, bytes));
        const QString sav = temp.filePath("titled.sav");
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--deep", "--save", sav, image}, &out, &err), 0);
        QVERIFY2(out.contains("Photo 002998.png"), out.right(300).constData());

        const QString one = temp.filePath("one");
        QCOMPARE(run_orvane({"restore", "--from", sav, "--image", image, "--to", one, "--match",
                             "photo 002998.png"},
                            &out, &err),
                 0);
        QCOMPARE(files_below(one), QStringList{"png/Photo 002998.png"});
        const QByteArray want = titled_png("Photo 002998");
        QCOMPARE(read_bytes(one + "/png/Photo 002998.png", 0, 4096), want);
        const counts_s few = device_counts(err);
        QVERIFY2(few.reads >= 1 && few.reads <= 20, err.constData());
        QVERIFY2(few.bytes <= 256 * 1024, err.constData());  // never the 1.5 MB of the image

        const QString old = temp.filePath("old.sav");
        QFile saved(sav);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray plain = without_metadata(saved.readAll());
        QVERIFY(plain.size() < saved.size());
        QVERIFY(write_file(old, plain));
        const QString again = temp.filePath("again");
        QCOMPARE(run_orvane({"restore", "--from", old, "--image", image, "--to", again, "--match",
                             "photo 002998.png"},
                            &out, &err),
                 0);
        QCOMPARE(files_below(again), QStringList{"png/Photo 002998.png"});
        QCOMPARE(read_bytes(again + "/png/Photo 002998.png", 0, 4096), want);
        QVERIFY2(device_counts(err).reads >= titled_count, err.constData());  // read from disk
        // a pattern no PNG can match reads no PNG's name
        QCOMPARE(run_orvane({"restore", "--from", old, "--image", image, "--to",
                             temp.filePath("none"), "--match", "*.jpg"},
                            &out, &err),
                 0);
        QVERIFY2(out.contains("restored 0 of 0"), out.constData());
        QVERIFY2(device_counts(err).reads <= 20, err.constData());
    }

    // A title longer than the scan file keeps (255 bytes of UTF-8) comes back cut before the
    // character that would not fit; dates and titles survive a save and a load, and the
    // loaded engine lists without reading.
    void names_and_dates_round_trip() {
        const QString image = temp.filePath("long.img");
        // tEXt is Latin-1: 200 characters, 400 bytes of UTF-8
        const QByteArray title(200, '\xe9');
        QByteArray bytes(8192, '\0');
        const QByteArray png = titled_png(title, QByteArray("\x07\xe5\x05\x06\x07\x08\x09", 7));
        bytes.replace(0, png.size(), png);
        const QByteArray plain = titled_png({});
        bytes.replace(4096, plain.size(), plain);
        QVERIFY(write_file(image, bytes));
        const QString sav = temp.filePath("long.sav");
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--deep", "--save", sav, image}, &out, &err), 0);
        use_images({image});
        volume_item_s volume;
        volume.device_name = volume.volume_name = QFileInfo(image).canonicalFilePath();
        volume.total_bytes = static_cast<std::uint64_t>(bytes.size());
        scan_session_c session;
        QCOMPARE(session.resume_scan_file(sav, {volume}, nullptr, nullptr, false), 0);
        const raw_recovery_c& engine = session.raw_engine();
        QVERIFY(engine.metadata_known());
        QCOMPARE(engine.records().size(), std::size_t(2));
        QVERIFY(engine.meta(0));
        QCOMPARE(engine.meta(0)->title, QString(127, QChar(0x00e9)));
        QCOMPARE(engine.meta(0)->modified,
                 QDateTime(QDate(2021, 5, 6), QTime(7, 8, 9), Qt::UTC).toSecsSinceEpoch());
        QVERIFY(!engine.meta(1));
    }

    // A restore from an EWF image opens the container as often for every file as for one:
    // once for the restore, beside what finding the volume costs. The files are the raw
    // image's, byte for byte.
    void restore_from_ewf_opens_the_container_once() {
        const QString raw = temp.filePath("ewf.raw");
        QVERIFY(write_file(raw, many_pngs(400, false)));
        const QString base = temp.filePath("ewf");
        if (!run_program("ewfacquire",
                         {"-u",   "-t", base,       "-c", "none",     "-f", "encase6", "-C",
                          "case", "-D", "pictures", "-E", "1",        "-e", "orvane",  "-N",
                          "none", "-m", "fixed",    "-M", "physical", "-q", raw})) {
            QSKIP("ewfacquire (package ewf-tools) is needed to make an EWF image");
        }
        const QString e01 = base + ".E01";
        const QString sav = temp.filePath("ewf.sav");
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--deep", "--save", sav, e01}, &out, &err), 0);
        QCOMPARE(run_orvane({"restore", "--from", sav, "--image", e01, "--to",
                             temp.filePath("ewf-one"), "--match", "00000007.png"},
                            &out, &err),
                 0);
        const counts_s one = device_counts(err);
        const QString all = temp.filePath("ewf-all");
        QCOMPARE(run_orvane({"restore", "--from", sav, "--image", e01, "--to", all}, &out, &err),
                 0);
        QVERIFY2(out.contains("restored 400 of 400"), out.constData());
        const counts_s every = device_counts(err);
        QVERIFY2(one.container_opens > 0, err.constData());
        QCOMPARE(every.container_opens, one.container_opens);
        QCOMPARE(every.opens, one.opens);
        for (int i : {0, 199, 399}) {
            const QString name = QStringLiteral("%1.png").arg(i, 8, 10, QLatin1Char('0'));
            QCOMPARE(read_bytes(all + "/png/" + name, 0, 4096), titled_png({}));
        }
    }

    // More than ten thousand files of one type: numbered folders of ten thousand, the rest
    // in the last; the listing shows them where the restore writes them.
    void a_large_type_goes_into_numbered_folders() {
        const int count = 10050;
        const QString image = temp.filePath("many.img");
        QVERIFY(write_file(image, many_pngs(count, false)));
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", "--deep", "--json", image}, &out, &err), 0);
        QVERIFY(out.contains("\"path\":\"/png/0001/00000000.png\""));
        QVERIFY(out.contains("\"path\":\"/png/0002/00010049.png\""));
        const QString to = temp.filePath("many");
        QCOMPARE(run_orvane({"restore", "--deep", "--to", to, image}, &out, &err), 0);
        QVERIFY2(out.contains("restored 10050 of 10050"), out.constData());
        QCOMPARE(QDir(to + "/png").entryList(QDir::Files).size(), 0);
        QCOMPARE(QDir(to + "/png").entryList(QDir::Dirs | QDir::NoDotAndDotDot),
                 (QStringList{"0001", "0002"}));
        const QStringList first = QDir(to + "/png/0001").entryList(QDir::Files, QDir::Name);
        QCOMPARE(first.size(), 10000);
        QCOMPARE(first.front(), QStringLiteral("00000000.png"));
        QCOMPARE(first.back(), QStringLiteral("00009999.png"));
        const QStringList second = QDir(to + "/png/0002").entryList(QDir::Files, QDir::Name);
        QCOMPARE(second.size(), count - 10000);
        QCOMPARE(second.front(), QStringLiteral("00010000.png"));
        QCOMPARE(second.back(), QStringLiteral("00010049.png"));
        QCOMPARE(read_bytes(to + "/png/0002/00010049.png", 0, 4096), titled_png({}));
    }
};

QTEST_GUILESS_MAIN(test_deep_restore_scale)
#include "test_deep_restore_scale.moc"
