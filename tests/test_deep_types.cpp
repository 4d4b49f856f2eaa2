// The deep scan of a re-formatted FAT32 volume holding text, RTF, legacy Office documents,
// mail, Java classes and camera RAW files made on this machine
// (tests/fixtures/make_deep_types.sh): each comes back exact under its own type, checked as
// far as its type allows, and nothing else is reported (no preview out of a RAW file, no
// text out of a document).
#include "deep_scan_support.h"
#include "engine/raw/raw_recovery.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

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
        const QSet<QString> whole_types = {"txt", "csv", "json", "eml", "mbox", "rtf",
                                           "doc", "xls", "ppt",  "msg", "msi",  "ole"};
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
};

QTEST_GUILESS_MAIN(test_deep_types)
#include "test_deep_types.moc"
