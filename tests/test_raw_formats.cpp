// The deep scan's measures on real files one at a time: each file, followed by other data,
// must measure to exactly its own length and type.
#include "bytes_view.h"
#include "engine/raw/file_metadata.h"
#include "engine/raw/sig_format.h"
#include "engine/raw/sig_pieces.h"
#include "test_support.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray noise(int bytes, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray data(bytes, '\0');
    for (char& c : data) {
        c = static_cast<char>(random.bounded(256));
    }
    return data;
}

// The measure of the format whose magic begins the data, as the scan would pick it.
sig::found_s measure(const QByteArray& data) {
    bytes_view_c view(data);
    for (const sig::format_s& f : sig::formats()) {
        if (static_cast<std::size_t>(data.size()) < f.magic_offset + f.magic_length ||
            std::memcmp(data.constData() + f.magic_offset, f.magic, f.magic_length) != 0) {
            continue;
        }
        sig::window_c w(view, 0, static_cast<std::uint64_t>(data.size()));
        const sig::found_s found = f.measure(w);
        if (found.size > 0) {
            return found;
        }
    }
    return {};
}

// MPEG audio layer I frames (no encoder writes them any more): version bits, bit rate index,
// sample rate index; the payload is filler of the frame's length.
QByteArray layer1_stream(int version_bits, int bitrate_index, int rate_index, int frames,
                         int frame_length) {
    QByteArray data;
    for (int i = 0; i < frames; ++i) {
        QByteArray frame(frame_length, '\x55');
        frame[0] = '\xFF';
        frame[1] = static_cast<char>(0xE0 | version_bits << 3 | 3 << 1 | 1);
        frame[2] = static_cast<char>(bitrate_index << 4 | rate_index << 2);
        frame[3] = '\xC0';
        data += frame;
    }
    return data;
}

}  // namespace

class test_raw_formats : public QObject {
    Q_OBJECT

  private slots:
    // Every stream ffmpeg writes, of every MPEG version and layer, measures to its length.
    void mpeg_audio_from_ffmpeg_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("type");
        QFile manifest(fixture_path(QStringLiteral("mpeg.manifest")));
        if (!manifest.open(QIODevice::ReadOnly)) {
            QTest::newRow("missing") << QString() << qint64(0) << QByteArray();
            return;
        }
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 3) {
                QTest::newRow(f[0].constData())
                    << QString::fromUtf8(f[0]) << f[1].toLongLong() << f[2];
            }
        }
    }
    void mpeg_audio_from_ffmpeg() {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QByteArray, type);
        if (name.isEmpty()) {
            QSKIP("fixture mpeg.manifest missing (tests/fixtures/make_mpeg_audio.sh)");
        }
        QFile file(fixture_path(QStringLiteral("mpeg/") + name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray stream = file.readAll();
        QCOMPARE(stream.size(), size);
        // Zeros, as in a fresh volume's free space, then random data, as in a used one.
        for (const QByteArray& after : {QByteArray(8192, '\0'), noise(8192, 7)}) {
            const sig::found_s found = measure(stream + after);
            QCOMPARE(static_cast<qint64>(found.size), size);
            QCOMPARE(QByteArray(found.type ? found.type : ""), type);
        }
    }

    // Layer I: the frame length is 4-byte slots of 12 x bit rate / sample rate, in MPEG-1
    // and MPEG-2 alike, with the layer's own bit rate tables.
    void mpeg_layer1_data() {
        QTest::addColumn<int>("version_bits");
        QTest::addColumn<int>("bitrate_index");
        QTest::addColumn<int>("rate_index");
        QTest::addColumn<int>("frame_length");
        // 12 x 32000 / 44100 = 8 slots; 12 x 448000 / 48000 = 112; 12 x 384000 / 32000 = 144.
        QTest::newRow("MPEG-1 32k 44.1 kHz") << 3 << 1 << 0 << 32;
        QTest::newRow("MPEG-1 448k 48 kHz") << 3 << 14 << 1 << 448;
        QTest::newRow("MPEG-1 384k 32 kHz") << 3 << 12 << 2 << 576;
        // MPEG-2: 12 x 256000 / 24000 = 128; 12 x 32000 / 22050 = 17.
        QTest::newRow("MPEG-2 256k 24 kHz") << 2 << 14 << 1 << 512;
        QTest::newRow("MPEG-2 32k 22.05 kHz") << 2 << 1 << 0 << 68;
    }
    void mpeg_layer1() {
        QFETCH(int, version_bits);
        QFETCH(int, bitrate_index);
        QFETCH(int, rate_index);
        QFETCH(int, frame_length);
        const QByteArray stream =
            layer1_stream(version_bits, bitrate_index, rate_index, 40, frame_length);
        const sig::found_s found = measure(stream + QByteArray(4096, '\0'));
        QCOMPARE(static_cast<qint64>(found.size), stream.size());
        QCOMPARE(QByteArray(found.type ? found.type : ""), QByteArray("mp1"));
        // One slot short: the second header is not where the first one's length says.
        const QByteArray wrong =
            layer1_stream(version_bits, bitrate_index, rate_index, 40, frame_length - 4);
        QCOMPARE(measure(wrong + QByteArray(4096, '\0')).size, std::uint64_t(0));
    }

    // Markup ends where its structure says, followed by zeros or by other text; broken
    // structure is no file.
    void markup_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("type");  // empty: not a file
        const QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        QTest::newRow("xml") << xml + "<a><b x=\"1 > 0\">t</b><c/><!-- <d> --></a>\n"
                             << QByteArray("xml");
        QTest::newRow("xml cdata and doctype")
            << xml + "<!DOCTYPE a [<!ELEMENT a ANY>]>\n<a><![CDATA[</a>]]></a>\r\n"
            << QByteArray("xml");
        QTest::newRow("svg declared")
            << xml + "<svg xmlns=\"http://www.w3.org/2000/svg\"><g/></svg>\n"
            << QByteArray("svg");
        QTest::newRow("svg bare") << QByteArray("<svg><rect/><title>x</title></svg>")
                                  << QByteArray("svg");
        QTest::newRow("svg with prefix")
            << xml + "<s:svg xmlns:s=\"http://www.w3.org/2000/svg\"></s:svg>\n"
            << QByteArray("svg");
        QTest::newRow("html") << QByteArray("<!DOCTYPE html>\n<html><p>a<br>b</HTML >\n")
                              << QByteArray("html");
        QTest::newRow("html utf-8")
            << QByteArray("<html><body>Caf\xC3\xA9</body></html>\n") << QByteArray("html");
        QTest::newRow("mismatched tags") << xml + "<a><b></a></b>\n" << QByteArray();
        QTest::newRow("never closes") << xml + "<a><b></b>\n" << QByteArray();
        QTest::newRow("binary inside") << xml + "<a>\x01\x02</a>\n" << QByteArray();
        QTest::newRow("bad utf-8") << QByteArray("<html>\xC3\x28</html>") << QByteArray();
        QTest::newRow("undeclared plain xml") << QByteArray("<a></a>") << QByteArray();
        QTest::newRow("bad attribute") << xml + "<a x=1></a>\n" << QByteArray();
    }
    void markup() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, type);
        for (const QByteArray& after : {QByteArray(4096, '\0'), QByteArray("more text <b>\n")}) {
            const sig::found_s found = measure(file + after);
            QCOMPARE(QByteArray(found.type ? found.type : ""), type);
            QCOMPARE(static_cast<qsizetype>(found.size), type.isEmpty() ? 0 : file.size());
        }
    }

    void dates_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("seconds");  // TZ=UTC in the tests
        QTest::newRow("exif") << "exif"
                              << "2024:06:01 14:03:22" << qint64(1717250602);
        QTest::newRow("exif bad month") << "exif"
                                        << "2024:13:01 14:03:22" << qint64(0);
        QTest::newRow("exif blank") << "exif"
                                    << "    :  :     :  :  " << qint64(0);
        QTest::newRow("exif 1970") << "exif"
                                   << "1970:01:01 00:00:00" << qint64(0);
        QTest::newRow("pdf utc") << "pdf"
                                 << "D:20240601140322Z" << qint64(1717250602);
        QTest::newRow("pdf offset") << "pdf"
                                    << "D:20240601160322+02'00'" << qint64(1717250602);
        QTest::newRow("pdf west") << "pdf"
                                  << "D:20240601090322-05'00" << qint64(1717250602);
        QTest::newRow("pdf year only") << "pdf"
                                       << "D:2024" << qint64(1704067200);
        QTest::newRow("pdf junk") << "pdf"
                                  << "D:20x40601" << qint64(0);
        QTest::newRow("iso z") << "iso"
                               << "2024-06-01T14:03:22Z" << qint64(1717250602);
        QTest::newRow("iso offset") << "iso"
                                    << "2024-06-01T16:03:22+02:00" << qint64(1717250602);
        QTest::newRow("iso fraction") << "iso"
                                      << "2024-06-01T14:03:22.25Z" << qint64(1717250602);
        QTest::newRow("iso local") << "iso"
                                   << "2024-06-01T14:03:22" << qint64(1717250602);
        QTest::newRow("iso 2100") << "iso"
                                  << "2100-01-01T00:00:00Z" << qint64(0);
        QTest::newRow("mp4") << "mp4"
                             << "3800095402" << qint64(1717250602);
        QTest::newRow("mp4 zero") << "mp4"
                                  << "0" << qint64(0);
    }
    void dates() {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(qint64, seconds);
        const std::int64_t got = kind == QLatin1String("exif")  ? meta::exif_date(text.toLatin1())
                                 : kind == QLatin1String("pdf") ? meta::pdf_date(text.toLatin1())
                                 : kind == QLatin1String("iso")
                                     ? meta::iso_date(text)
                                     : meta::mp4_date(text.toULongLong());
        QCOMPARE(static_cast<qint64>(got), seconds);
    }

    void file_stems_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("stem");
        QTest::newRow("plain") << "Quarterly report"
                               << "Quarterly report";
        QTest::newRow("separators") << "Notes: March/April\\2024"
                                    << "Notes March April 2024";
        QTest::newRow("reserved") << "a*b?c\"d<e>f|g"
                                  << "a b c d e f g";
        QTest::newRow("control") << QStringLiteral("line\none\ttab\x7f") << "line one tab";
        QTest::newRow("dots") << "...hidden. . "
                              << "hidden";
        QTest::newRow("only dots") << "../.."
                                   << "";
        QTest::newRow("device name") << "con"
                                     << "con_";
        QTest::newRow("long") << QString(200, QLatin1Char('x')) << QString(80, QLatin1Char('x'));
        QTest::newRow("surrogate at the cut")
            << QString(79, QLatin1Char('x')) + QStringLiteral("\U0001F600tail")
            << QString(79, QLatin1Char('x'));
    }
    void file_stems() {
        QFETCH(QString, title);
        QFETCH(QString, stem);
        QCOMPARE(clean_file_stem(title), stem);
    }

    // Hostile metadata: truncated and corrupted copies of real-looking structures give a
    // result or nothing, never a crash (the fuzz target goes further).
    // A ZIP whose archive comment runs past the bytes there is not a whole file: the check
    // never calls it sound with a size beyond what it could read.
    void zip_comment_past_the_end() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("c.zip"));
        const int made = QProcess::execute(
            QStringLiteral("python3"),
            {QStringLiteral("-c"),
             QStringLiteral("import sys, zipfile\n"
                            "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                            "    z.writestr('a.txt', 'hello ' * 400)\n"
                            "    z.comment = b'c' * 3000\n"),
             path});
        if (made != 0) {
            QSKIP("python3 cannot write a ZIP here");
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray zip = file.readAll();
        const sig::format_s* format = nullptr;
        for (const sig::format_s& f : sig::formats()) {
            format = std::strcmp(f.name, "zip") == 0 ? &f : format;
        }
        QVERIFY(format);
        const QByteArray whole = zip + noise(4096, 7);
        bytes_view_c view(whole);
        sig::window_c all(view, 0, static_cast<std::uint64_t>(whole.size()));
        const sig::soundness_s checked = sig::check_file(*format, all);
        QVERIFY(checked.sound);
        QCOMPARE(checked.size, static_cast<std::uint64_t>(zip.size()));
        for (const int cut : {1, 1000, 2999}) {
            const QByteArray part = zip.left(zip.size() - cut);
            bytes_view_c part_view(part);
            sig::window_c w(part_view, 0, static_cast<std::uint64_t>(part.size()));
            const sig::soundness_s s = sig::check_file(*format, w);
            QVERIFY2(!s.sound || s.size <= static_cast<std::uint64_t>(part.size()),
                     qPrintable(QStringLiteral("cut %1: sound at %2").arg(cut).arg(s.size)));
        }
    }

    void metadata_of_cut_files() {
        const QByteArray pdf =
            "%PDF-1.4\n1 0 obj\n<< /Title (A \\(b\\) \\101) /CreationDate (D:20240601140322Z) "
            ">>\nendobj\nxref\n0 2\n0000000000 65535 f \n0000000009 00000 n \ntrailer\n<< /Size "
            "2 /Info 1 0 R >>\nstartxref\n96\n%%EOF\n";
        bytes_view_c whole(pdf);
        sig::window_c w(whole, 0, static_cast<std::uint64_t>(pdf.size()));
        const file_meta_s meta = read_file_meta("pdf", w);
        QCOMPARE(meta.title, QStringLiteral("A (b) A"));
        QCOMPARE(meta.created, std::int64_t(1717250602));
        for (qsizetype cut = 0; cut < pdf.size(); cut += 7) {
            bytes_view_c part(pdf.left(cut));
            sig::window_c pw(part, 0, static_cast<std::uint64_t>(cut));
            (void)read_file_meta("pdf", pw);
        }
    }
};

QTEST_GUILESS_MAIN(test_raw_formats)
#include "test_raw_formats.moc"
