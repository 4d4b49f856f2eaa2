// The deep scan of a quick-formatted camera card (tests/fixtures/make_deep_card.sh): files
// stored whole come back exact, files stored in two pieces come back exact or not at all,
// names and dates come from the files' own metadata, and nothing comes from the gaps or
// from random data.
#include "deep_scan_support.h"
#include "engine/raw/raw_recovery.h"
#include "engine/raw/sig_format.h"
#include "result/file_list.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray sha256_of(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
}

// Every found file as the file table shows it, by its record position.
QHash<std::uint64_t, recovery_item_s> table_rows(const raw_recovery_c& engine) {
    QHash<std::uint64_t, recovery_item_s> rows;
    for (const result_folder_s& folder : list_result_folders(&engine, engine_signature)) {
        std::vector<recovery_item_s> files;
        fill_file_list(files, &engine, engine_signature, folder.ref);
        for (const recovery_item_s& item : files) {
            rows.insert(item.file_key, item);
        }
    }
    return rows;
}

}  // namespace

class test_deep_card : public QObject {
    Q_OBJECT
    QTemporaryDir temp;

  private slots:
    void initTestCase() { QVERIFY(temp.isValid()); }

    void card_comes_back() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        QFile list(fixture_path("card/card.json"));
        QVERIFY(list.open(QIODevice::ReadOnly));
        const QJsonArray manifest = QJsonDocument::fromJson(list.readAll()).array();
        QVERIFY(manifest.size() >= 20);
        raw_recovery_c engine;
        scan(&engine, image_volume(fixture_path("card/card.img")));
        QCOMPARE(engine.get_progress(), 1.0);
        const auto rows = table_rows(engine);
        QHash<std::uint64_t, std::uint64_t> by_offset;  // offset -> record position
        for (std::size_t i = 0; i < engine.records().size(); ++i) {
            by_offset.insert(engine.records()[i].offset, i);
        }
        QStringList problems;
        int two_piece = 0;
        int two_piece_exact = 0;
        int movies = 0;  // two-piece MP4s (the movie box first and last)
        int movies_exact = 0;
        QSet<std::uint64_t> expected_offsets;
        for (const QJsonValue& value : manifest) {
            const QJsonObject e = value.toObject();
            const QString name = e[QStringLiteral("name")].toString();
            const QJsonArray pieces = e[QStringLiteral("pieces")].toArray();
            const auto offset =
                static_cast<std::uint64_t>(pieces[0].toArray()[0].toVariant().toULongLong());
            expected_offsets.insert(offset);
            const bool whole = pieces.size() == 1;
            two_piece += whole ? 0 : 1;
            const bool movie = !whole && e[QStringLiteral("type")].toString() == "mp4";
            movies += movie ? 1 : 0;
            const auto hit = by_offset.constFind(offset);
            if (hit == by_offset.constEnd()) {
                if (whole) {
                    problems << name + QStringLiteral(": not found");
                }
                continue;
            }
            const std::uint64_t position = hit.value();
            const signature_record& record = engine.records()[position];
            const QString type = QString::fromLatin1(record_type(record));
            const QString out = temp.filePath(QStringLiteral("%1.out").arg(position));
            if (type != e[QStringLiteral("type")].toString() ||
                engine.restore_file(position, out) != 0 ||
                sha256_of(out) != e[QStringLiteral("sha256")].toString().toLatin1()) {
                problems << QStringLiteral("%1: restored wrong (type %2, size %3 of %4)")
                                .arg(name, type)
                                .arg(record.size)
                                .arg(e[QStringLiteral("size")].toInteger());
                continue;
            }
            two_piece_exact += whole ? 0 : 1;
            movies_exact += movie ? 1 : 0;
            const recovery_item_s item = rows.value(position);
            const QString title = e[QStringLiteral("title")].toString();
            const QRegularExpression form(title.isEmpty()
                                              ? QStringLiteral("^\\d{8}\\.%1$").arg(type)
                                              : QStringLiteral("^%1( \\(\\d+\\))?\\.%2$")
                                                    .arg(QRegularExpression::escape(title), type));
            if (!form.match(item.name).hasMatch()) {
                problems << QStringLiteral("%1: named '%2', not '%3'").arg(name, item.name, title);
            }
            const qint64 created = e[QStringLiteral("created")].toInteger();
            if (item.date2 != created) {
                problems << QStringLiteral("%1: created %2, the file says %3")
                                .arg(name)
                                .arg(item.date2)
                                .arg(created);
            }
        }
        // Nothing else: not from the gaps, not from the random spacers.
        for (const signature_record& r : engine.records()) {
            if (!expected_offsets.contains(r.offset)) {
                problems << QStringLiteral("unexpected %1 of %2 bytes at %3")
                                .arg(QString::fromLatin1(record_type(r)))
                                .arg(r.size)
                                .arg(r.offset);
            }
        }
        qInfo("two-piece files restored exact: %d of %d", two_piece_exact, two_piece);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        QVERIFY(two_piece >= 8);
        QVERIFY2(two_piece_exact >= 6, qPrintable(QString::number(two_piece_exact)));
        QVERIFY(movies >= 3);
        QCOMPARE(movies_exact, movies);
        // Two files share a camera and a second: the second name is made unique.
        QSet<QString> names;
        for (const recovery_item_s& item : rows) {
            QVERIFY2(!names.contains(item.name), qPrintable(item.name));
            names.insert(item.name);
        }
    }

    // The JPEG checks run on workers ahead of the scan: with none, one or several, the same
    // files are found in the same order, with the same pieces and the same marks.
    void same_files_with_any_number_of_workers() {
        if (!fixture_exists("card/card.img")) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
        const auto listing = [](int workers) {
            sig::set_check_workers(workers);
            raw_recovery_c engine;
            scan(&engine, image_volume(fixture_path("card/card.img")));
            QStringList lines;
            for (std::size_t i = 0; i < engine.records().size(); ++i) {
                const signature_record& r = engine.records()[i];
                std::uint64_t first = 0;
                std::uint64_t second = 0;
                engine.second_piece(i, &first, &second);
                lines << QStringLiteral("%1 %2 %3 %4 %5 %6")
                             .arg(QString::fromLatin1(record_type(r)))
                             .arg(r.offset)
                             .arg(r.size)
                             .arg(first)
                             .arg(second)
                             .arg(verified_name(engine.verified(i)));
            }
            return lines;
        };
        const QStringList alone = listing(0);
        const QStringList one = listing(1);
        const QStringList three = listing(3);
        sig::set_check_workers(-1);
        QVERIFY(alone.size() >= 20);
        QCOMPARE(one, alone);
        QCOMPARE(three, alone);
    }

    // Random data holds no file of any type.
    void nothing_in_random_data() {
        const QString path = temp.filePath(QStringLiteral("random.img"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QRandomGenerator random(2022);
        QByteArray block(1 << 20, '\0');
        for (int i = 0; i < 48; ++i) {
            random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            QCOMPARE(file.write(block), block.size());
        }
        file.close();
        raw_recovery_c engine;
        scan(&engine, image_volume(path));
        QCOMPARE(engine.get_progress(), 1.0);
        QStringList found;
        for (const signature_record& r : engine.records()) {
            found << QStringLiteral("%1 at %2")
                         .arg(QString::fromLatin1(record_type(r)))
                         .arg(r.offset);
        }
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(test_deep_card)
#include "test_deep_card.moc"
