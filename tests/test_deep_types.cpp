// The deep scan of a re-formatted FAT32 volume holding text, RTF, legacy Office documents,
// mail, Java classes and camera RAW files made on this machine
// (tests/fixtures/make_deep_types.sh): each comes back exact under its own type, checked as
// far as its type allows, and nothing else is reported (no preview out of a RAW file, no
// text out of a document).
#include "bytes_view.h"
#include "deep_scan_support.h"
#include "engine/raw/file_metadata.h"
#include "engine/raw/raw_recovery.h"
#include "engine/raw/sig_config.h"
#include "engine/raw/sig_format.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>

namespace {

QByteArray fixture_file(const QString& name) {
    QFile file(fixture_path(QStringLiteral("types/files/") + name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The measure of the format whose magic begins the data (text, which has none, last).
sig::found_s measure(const QByteArray& data) {
    bytes_view_c view(data);
    for (const sig::format_s& f : sig::formats()) {
        if (static_cast<std::size_t>(data.size()) >= f.magic_offset + f.magic_length &&
            std::memcmp(data.constData() + f.magic_offset, f.magic, f.magic_length) == 0) {
            sig::window_c w(view, 0, static_cast<std::uint64_t>(data.size()));
            if (const sig::found_s found = f.measure(w); found.size > 0) {
                return found;
            }
        }
    }
    return {};
}

}  // namespace

class test_deep_types : public QObject {
    Q_OBJECT
    QTemporaryDir temp;

  private slots:
    void initTestCase() { QVERIFY(temp.isValid()); }

    void every_type_comes_back_exact() {
        if (!fixture_exists("types/types.img")) {
            QSKIP("fixture types/types.img missing (tests/fixtures/make_deep_types.sh)");
        }
        QFile list(fixture_path("types/types.json"));
        QVERIFY(list.open(QIODevice::ReadOnly));
        const QJsonArray manifest = QJsonDocument::fromJson(list.readAll()).array();
        QVERIFY(manifest.size() >= 20);
        QHash<QByteArray, QJsonObject> by_digest;
        for (const QJsonValue& value : manifest) {
            by_digest.insert(value.toObject()[QStringLiteral("sha256")].toString().toLatin1(),
                             value.toObject());
        }
        raw_recovery_c engine;
        scan(&engine, image_volume(fixture_path("types/types.img")));
        QCOMPARE(engine.get_progress(), 1.0);
        // Types whose check reads every byte: the scan vouches for them whole.
        const QSet<QString> whole_types = {"txt", "csv", "json", "eml", "mbox", "rtf", "doc",
                                           "xls", "ppt", "msg",  "msi", "ole",  "zip"};
        QStringList problems;
        QSet<QString> found;
        for (std::size_t i = 0; i < engine.records().size(); ++i) {
            const signature_record& r = engine.records()[i];
            const QString type = QString::fromLatin1(record_type(r));
            const QString out = temp.filePath(QStringLiteral("%1.%2").arg(i).arg(type));
            QCOMPARE(engine.restore_file(i, out), 0);
            QFile restored(out);
            QVERIFY(restored.open(QIODevice::ReadOnly));
            const QByteArray digest =
                QCryptographicHash::hash(restored.readAll(), QCryptographicHash::Sha256).toHex();
            const auto hit = by_digest.constFind(digest);
            if (hit == by_digest.constEnd()) {
                problems << QStringLiteral("a %1 of %2 bytes at %3 that no file was")
                                .arg(type)
                                .arg(r.size)
                                .arg(r.offset);
                continue;
            }
            const QString name = hit->value(QStringLiteral("name")).toString();
            if (hit->value(QStringLiteral("type")).toString() != type) {
                problems << QStringLiteral("%1 found as %2").arg(name, type);
            }
            const bool whole = engine.verified(i) == verified_whole;
            if (whole != whole_types.contains(type)) {
                problems
                    << QStringLiteral("%1 checked %2").arg(name, verified_name(engine.verified(i)));
            }
            found.insert(name);
            // RAW files are named and dated from their EXIF: 2023-06-14 09:30:00 and the model.
            if (QStringList{"cr2", "nef", "arw", "dng", "pef", "orf", "rw2"}.contains(type)) {
                const file_meta_s* meta = engine.meta(i);
                if (!meta || meta->created != 1686735000 ||
                    !meta->title.startsWith(QStringLiteral("2023-06-14 09-30-00 "))) {
                    problems << name + QStringLiteral(": no date or model from its EXIF");
                }
            }
        }
        for (const QJsonValue& value : manifest) {
            const QString name = value.toObject()[QStringLiteral("name")].toString();
            if (!found.contains(name)) {
                problems << name + QStringLiteral(": not found");
            }
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        QCOMPARE(engine.records().size(), static_cast<std::size_t>(manifest.size()));
    }

    // A compound file is whole only when every stream's chain lies inside it, and a file cut
    // before its last used sector is none.
    void compound_file_chains() {
        const QByteArray doc = fixture_file(QStringLiteral("letter.doc"));
        if (doc.isEmpty()) {
            QSKIP("fixture types/files missing (tests/fixtures/make_deep_types.sh)");
        }
        const QByteArray after = QByteArray(4096, '\0');
        sig::found_s found = measure(doc + after);
        QCOMPARE(found.size, static_cast<std::uint64_t>(doc.size()));
        QCOMPARE(QByteArray(found.type), QByteArray("doc"));
        QVERIFY(found.whole);
        const qsizetype entry = doc.indexOf(QByteArray("W\0o\0r\0d\0D\0o\0c", 12));
        QVERIFY(entry > 0 && entry % 128 == 0);
        QByteArray broken = doc;
        qToLittleEndian<quint32>(0x7000, broken.data() + entry + 0x74);  // past the file
        found = measure(broken + after);
        QCOMPARE(found.size, static_cast<std::uint64_t>(doc.size()));
        QVERIFY(!found.whole);
        QCOMPARE(measure(doc.left(doc.size() - 512) + after).size, std::uint64_t(0));
        // Another kind from its streams: PowerPoint's, Outlook's, Excel's (xlwt).
        QCOMPARE(QByteArray(measure(fixture_file(QStringLiteral("slides.ppt")) + after).type),
                 QByteArray("ppt"));
        QCOMPARE(QByteArray(measure(fixture_file(QStringLiteral("tides.xls")) + after).type),
                 QByteArray("xls"));
    }

    // A TIFF from a camera maker is RAW only with the maker's marks: Canon's "CR" after the
    // header; the size is the farthest strip, IFD or preview either way.
    void raw_or_plain_tiff() {
        QByteArray cr2 = fixture_file(QStringLiteral("canon.cr2"));
        if (cr2.isEmpty()) {
            QSKIP("fixture types/files missing (tests/fixtures/make_deep_types.sh)");
        }
        const QByteArray after = noise(4096, 8);
        QCOMPARE(QByteArray(measure(cr2 + after).type), QByteArray("cr2"));
        cr2[8] = 0;
        const sig::found_s found = measure(cr2 + after);
        QCOMPARE(QByteArray(found.type), QByteArray("tif"));
        QCOMPARE(found.size, static_cast<std::uint64_t>(cr2.size()));
    }

    // Text left out by the configuration is passed over, not offered as anything else; the
    // other kinds of text are still found.
    void text_left_out() {
        if (!fixture_exists("types/types.img")) {
            QSKIP("fixture types/types.img missing (tests/fixtures/make_deep_types.sh)");
        }
        sig::set_rules(sig::parse_config("txt off\nrtf off\n", nullptr));
        raw_recovery_c engine;
        scan(&engine, image_volume(fixture_path("types/types.img")));
        sig::set_rules(sig::default_rules());
        QVERIFY(!engine.type_index().contains("txt"));
        QVERIFY(!engine.type_index().contains("rtf"));
        for (const char* type : {"csv", "json", "eml", "mbox", "doc", "nef", "class"}) {
            QVERIFY2(engine.type_index().contains(type), type);
        }
    }
};

QTEST_GUILESS_MAIN(test_deep_types)
#include "test_deep_types.moc"
