// Movies stored in two pieces, on volumes made in memory from the camera card's MP4s
// (ffmpeg: MPEG-4 video with the movie box after the media data, H.264 with AAC sound and
// the movie box first, H.264 with it last): split at cluster boundaries with gaps of other
// data between the pieces, each must be put together exactly or not at all, and damaged
// movies must not pass their check.
#include "bytes_view.h"
#include "deep_scan_support.h"
#include "engine/raw/sig_format.h"
#include "engine/raw/sig_pieces.h"
#include "test_support.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include <cstring>

namespace {

const sig::format_s& mp4_format() {
    for (const sig::format_s& f : sig::formats()) {
        if (std::strcmp(f.name, "mp4") == 0 && std::memcmp(f.magic, "ftyp", 4) == 0) {
            return f;
        }
    }
    qFatal("no mp4 format");
}

// The card's MP4 files, whole, by name (the pieces read back from the card image).
QMap<QString, QByteArray> card_movies() {
    QMap<QString, QByteArray> movies;
    QFile list(fixture_path("card/card.json"));
    QFile image(fixture_path("card/card.img"));
    if (!list.open(QIODevice::ReadOnly) || !image.open(QIODevice::ReadOnly)) {
        return movies;
    }
    for (const QJsonValue& value : QJsonDocument::fromJson(list.readAll()).array()) {
        const QJsonObject e = value.toObject();
        if (e[QStringLiteral("type")].toString() != QStringLiteral("mp4")) {
            continue;
        }
        QByteArray data;
        for (const QJsonValue& piece : e[QStringLiteral("pieces")].toArray()) {
            image.seek(piece.toArray()[0].toInteger());
            data += image.read(piece.toArray()[1].toInteger());
        }
        if (QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex() ==
            e[QStringLiteral("sha256")].toString().toLatin1()) {
            movies.insert(e[QStringLiteral("name")].toString(), data);
        }
    }
    return movies;
}

sig::soundness_s check(const QByteArray& volume) {
    bytes_view_c view(volume);
    sig::window_c w(view, 0, static_cast<std::uint64_t>(volume.size()));
    return sig::check_file(mp4_format(), w);
}

}  // namespace

class test_sig_pieces : public QObject {
    Q_OBJECT
    QMap<QString, QByteArray> movies;

  private slots:
    void initTestCase() {
        movies = card_movies();
        if (movies.size() < 5) {
            QSKIP("fixture card/card.img missing (tests/fixtures/make_deep_card.sh)");
        }
    }

    // Whole, followed by other data: sound, to the byte.
    void whole_movies_pass() {
        for (auto m = movies.cbegin(); m != movies.cend(); ++m) {
            const sig::soundness_s s = check(*m + noise(64 * 1024, 5));
            QVERIFY2(s.sound, qPrintable(m.key()));
            QCOMPARE(s.size, static_cast<std::uint64_t>(m->size()));
        }
    }

    // Every split at a cluster boundary, a gap of 1 to 40 clusters: the search finds the
    // exact joint and gap, or gives up; it never puts together anything else.
    void split_movies_come_back_exact_or_not_at_all_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("cluster");
        QTest::newRow("mpeg4, movie box last") << "r.mp4" << 4096;
        QTest::newRow("h264 and aac, movie box first") << "ra.mp4" << 4096;
        QTest::newRow("h264 and aac, 512-byte clusters") << "ra.mp4" << 512;
        QTest::newRow("h264, movie box last") << "rb.mp4" << 4096;
        QTest::newRow("h264, 1 KiB clusters") << "rb.mp4" << 1024;
        QTest::newRow("mpeg4 with title, 1 KiB clusters") << "k.mp4" << 1024;
    }
    void split_movies_come_back_exact_or_not_at_all() {
        QFETCH(QString, name);
        QFETCH(int, cluster);
        const QByteArray movie = movies.value(name);
        QVERIFY(movie.size() > 3 * cluster);
        int exact = 0;
        int splits = 0;
        QStringList wrong;
        for (qsizetype first = cluster; first < movie.size(); first += cluster, ++splits) {
            const qsizetype gap = (splits * 7 % 40 + 1) * cluster;
            const QByteArray volume = movie.left(first) + noise(gap, static_cast<quint32>(first)) +
                                      movie.mid(first) + noise(64 * 1024, 9);
            const sig::soundness_s broken = check(volume);
            if (broken.sound) {
                wrong << QStringLiteral("split at %1 passes whole").arg(first);
                continue;
            }
            bytes_view_c view(volume);
            sig::piece_search_s search;
            search.cluster = cluster;
            search.max_gap_clusters = 64;
            const sig::pieces_s two = sig::find_second_piece(
                view, mp4_format(), 0, static_cast<std::uint64_t>(volume.size()), broken, search);
            if (two.size == 0) {
                continue;
            }
            if (two.first != static_cast<std::uint64_t>(first) ||
                two.gap != static_cast<std::uint64_t>(gap) ||
                two.size != static_cast<std::uint64_t>(movie.size()) || !two.type ||
                std::strcmp(two.type, "mp4") != 0) {
                wrong << QStringLiteral("split at %1 gap %2: joined at %3 gap %4 size %5")
                             .arg(first)
                             .arg(gap)
                             .arg(two.first)
                             .arg(two.gap)
                             .arg(two.size);
                continue;
            }
            ++exact;
        }
        qInfo("%s: %d of %d splits put together exactly", qPrintable(name), exact, splits);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
        QVERIFY2(exact * 2 >= splits, qPrintable(QString::number(exact)));
    }

    // Damage the pieces cannot explain: a chunk offset moved outside the media data, a
    // sample's first bytes overwritten, the movie box cut short.
    void damaged_movies_fail_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("box");
        QTest::addColumn<int>("at");  // from the box's type; -1: overwrite the first sample
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("chunk offset past the media")
            << "rb.mp4" << QByteArray("stco") << 12 << QByteArray("\x7f\xff\xff\xf0", 4);
        QTest::newRow("movie box longer than the file")
            << "r.mp4" << QByteArray("moov") << -4 << QByteArray("\x00\x10\x00\x00", 4);
        QTest::newRow("track box past its parent")
            << "ra.mp4" << QByteArray("trak") << -4 << QByteArray("\x00\x0f\x00\x00", 4);
        QTest::newRow("h264 sample overwritten")
            << "rb.mp4" << QByteArray("mdat") << 4 << QByteArray("\xff\xff\xff\xff\xff\xff", 6);
        QTest::newRow("mpeg4 sample overwritten")
            << "r.mp4" << QByteArray("mdat") << 4 << QByteArray("\x00\x00\x00\x00", 4);
    }
    void damaged_movies_fail() {
        QFETCH(QString, name);
        QFETCH(QByteArray, box);
        QFETCH(int, at);
        QFETCH(QByteArray, bytes);
        QByteArray movie = movies.value(name);
        const qsizetype where = movie.indexOf(box);
        QVERIFY(where > 4);
        movie.replace(where + at, bytes.size(), bytes);
        QVERIFY(!check(movie + noise(64 * 1024, 3)).sound);
    }
};

QTEST_GUILESS_MAIN(test_sig_pieces)
#include "test_sig_pieces.moc"
