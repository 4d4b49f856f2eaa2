// The restore writer: names that always fit and never collide, nothing written through a
// link or into what was there before, nothing left of a file that failed or was stopped.
#include "engine/restore_names.h"
#include "engine/restore_writer.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

#include <sys/mount.h>
#include <unistd.h>

namespace {

// A fill that writes bytes, then zeros, then returns result.
restore_writer_c::fill_fn bytes_fill(const QByteArray& bytes, std::uint64_t zeros = 0,
                                     int result = 0) {
    return [=](restore_sink_c* sink) {
        if (!bytes.isEmpty() && !sink->write(bytes.constData(), std::size_t(bytes.size()))) {
            return -1;
        }
        if (zeros > 0 && !sink->zeros(zeros)) {
            return -1;
        }
        return result;
    };
}

// Every entry under folder, relative, sorted; links are listed, not followed.
QStringList tree_of(const QString& folder) {
    QStringList names;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        names << QDir(folder).relativeFilePath(it.next());
    }
    names.sort();
    return names;
}

QByteArray read_all(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

}  // namespace

class test_restore_writer : public QObject {
    Q_OBJECT
  private slots:
    void numbered_names_fit_and_differ_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("second");
        QTest::newRow("plain") << "report.doc"
                               << "report (2).doc";
        QTest::newRow("no extension") << "README"
                                      << "README (2)";
        QTest::newRow("dot file") << ".profile"
                                  << ".profile (2)";
        const QString cjk = QString(85, QChar(u'写'));  // 255 bytes of UTF-8
        QTest::newRow("255 bytes") << cjk << QString(83, QChar(u'写')) + " (2)";
        QTest::newRow("255 bytes with extension")
            << QString(83, QChar(u'写')) + ".jpeg" << QString(82, QChar(u'写')) + " (2).jpeg";
    }
    void numbered_names_fit_and_differ() {
        QFETCH(QString, name);
        QFETCH(QString, second);
        const QString safe = safe_file_name(name);
        QCOMPARE(numbered_name(safe, 1), safe);
        QCOMPARE(numbered_name(safe, 2), second);
        QSet<QString> seen;
        for (int n = 1; n <= 2000; ++n) {
            const QString numbered = numbered_name(safe, n);
            QVERIFY(numbered.toUtf8().size() <= 255);
            QVERIFY2(!seen.contains(numbered), qPrintable(numbered));
            seen.insert(numbered);
        }
    }

    // Two names that cut to the same 255 bytes, and the same files restored twice into one
    // folder: every file gets a name of its own and the run ends.
    void names_cut_to_the_same_bytes_stay_apart() {
        QTemporaryDir out;
        const QString a = QString(85, QChar(u'写')) + "1";
        const QString b = QString(85, QChar(u'写')) + "2";
        for (int run = 0; run < 2; ++run) {
            restore_writer_c writer;
            QVERIFY(writer.open(out.path()));
            QString name_a, name_b;
            QCOMPARE(writer.write_file(0, a, 1, bytes_fill("a"), &name_a), restore_written);
            QCOMPARE(writer.write_file(0, b, 1, bytes_fill("b"), &name_b), restore_written);
            QVERIFY(name_a != name_b);
            QCOMPARE(read_all(out.filePath(name_a)), QByteArray("a"));
            QCOMPARE(read_all(out.filePath(name_b)), QByteArray("b"));
        }
        QCOMPARE(tree_of(out.path()).size(), 4);
    }

    // Many files of one name cost one try each, not a rescan of the folder.
    void many_equal_names() {
        QTemporaryDir out;
        restore_writer_c writer;
        QVERIFY(writer.open(out.path()));
        for (int i = 0; i < 3000; ++i) {
            QCOMPARE(writer.write_file(0, "same.txt", 0, bytes_fill({})), restore_written);
        }
        QCOMPARE(tree_of(out.path()).size(), 3000);
        QVERIFY(QFile::exists(out.filePath("same (3000).txt")));
    }

    // A deleted file "docs" and a deleted folder "docs", in either order; and a file and a
    // folder that both become "_..".
    void file_and_folder_of_one_name_data() {
        QTest::addColumn<bool>("file_first");
        QTest::addColumn<QString>("name");
        QTest::newRow("file first") << true << "docs";
        QTest::newRow("folder first") << false << "docs";
        QTest::newRow("dot dot") << true << "..";
    }
    void file_and_folder_of_one_name() {
        QFETCH(bool, file_first);
        QFETCH(QString, name);
        QTemporaryDir out;
        restore_writer_c writer;
        QVERIFY(writer.open(out.path()));
        const int folder = writer.folder(restore_writer_c::top_folder, name);
        QString file_name, inner_name;
        if (file_first) {
            QCOMPARE(writer.write_file(0, name, 4, bytes_fill("file"), &file_name),
                     restore_written);
        }
        QCOMPARE(writer.write_file(folder, "inner.txt", 5, bytes_fill("inner"), &inner_name),
                 restore_written);
        if (!file_first) {
            QCOMPARE(writer.write_file(0, name, 4, bytes_fill("file"), &file_name),
                     restore_written);
        }
        QCOMPARE(read_all(out.filePath(file_name)), QByteArray("file"));
        QCOMPARE(read_all(out.filePath(inner_name)), QByteArray("inner"));
        QVERIFY(QFileInfo(out.filePath(file_name)).isFile());
        QVERIFY(QFileInfo(out.filePath(inner_name)).dir().absolutePath() != out.path());
    }

    // Links planted in the destination, for a folder and for a file: the restore goes
    // around them and writes nothing where they point.
    void links_in_the_destination_are_never_followed() {
        QTemporaryDir out;
        QTemporaryDir elsewhere;
        QVERIFY(QFile::link(elsewhere.path(), out.filePath("docs")));
        QVERIFY(QFile::link(elsewhere.filePath("target.txt"), out.filePath("a.txt")));
        restore_writer_c writer;
        QVERIFY(writer.open(out.path()));
        const int docs = writer.folder(restore_writer_c::top_folder, "docs");
        QString in_docs, a;
        QCOMPARE(writer.write_file(docs, "x.txt", 1, bytes_fill("x"), &in_docs), restore_written);
        QCOMPARE(writer.write_file(0, "a.txt", 1, bytes_fill("a"), &a), restore_written);
        QCOMPARE(in_docs, QString("docs (2)/x.txt"));
        QCOMPARE(a, QString("a (2).txt"));
        QVERIFY(tree_of(elsewhere.path()).isEmpty());
        QVERIFY(QFileInfo(out.filePath("docs")).isSymLink());
    }

    // A failed or short file leaves nothing behind, under its name or any other.
    void failures_leave_nothing_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint64>("expected");
        QTest::addColumn<int>("result");
        QTest::newRow("engine failed") << QByteArray("half") << quint64(8) << -1;
        QTest::newRow("engine failed at once") << QByteArray() << quint64(8) << -1;
        QTest::newRow("short") << QByteArray("half") << quint64(8) << 0;
        QTest::newRow("long") << QByteArray("too long") << quint64(3) << 0;
    }
    void failures_leave_nothing() {
        QFETCH(QByteArray, bytes);
        QFETCH(quint64, expected);
        QFETCH(int, result);
        QTemporaryDir out;
        restore_writer_c writer;
        QVERIFY(writer.open(out.path()));
        const int folder = writer.folder(0, "sub");
        QCOMPARE(writer.write_file(folder, "f.bin", expected, bytes_fill(bytes, 0, result)),
                 restore_failed);
        QCOMPARE(writer.failure(), restore_failure_e::reading);
        QCOMPARE(tree_of(out.path()), QStringList{"sub"});
        // the next file goes on as usual
        QCOMPARE(writer.write_file(folder, "g.bin", 1, bytes_fill("g")), restore_written);
    }

    // Empty files are written empty; a file ending in a hole gets its whole length.
    void empty_and_sparse_files() {
        QTemporaryDir out;
        restore_writer_c writer;
        QVERIFY(writer.open(out.path()));
        QCOMPARE(writer.write_file(0, "empty", 0, bytes_fill({})), restore_written);
        QCOMPARE(QFileInfo(out.filePath("empty")).size(), 0);
        QCOMPARE(writer.write_file(0, "sparse", 1 << 20, bytes_fill("ab", (1 << 20) - 2)),
                 restore_written);
        const QByteArray sparse = read_all(out.filePath("sparse"));
        QCOMPARE(sparse.size(), 1 << 20);
        QVERIFY(sparse.startsWith("ab") && sparse.count('\0') == (1 << 20) - 2);
    }

    // A file gets the times it had on the volume, the sparse one too (its length is set
    // last); a time the volume did not have stays the restore's own.
    void found_times_kept() {
        QTemporaryDir out;
        restore_writer_c writer;
        QVERIFY(writer.open(out.path()));
        const std::int64_t modified = 1'262'304'000;  // 2010-01-01 00:00 UTC
        const std::int64_t accessed = 1'600'000'000;
        QCOMPARE(
            writer.write_file(0, "dated", 4, bytes_fill("data"), nullptr, {modified, accessed}),
            restore_written);
        QCOMPARE(writer.write_file(0, "sparse", 1 << 16, bytes_fill("ab", (1 << 16) - 2), nullptr,
                                   {modified, 0}),
                 restore_written);
        const std::int64_t before = QDateTime::currentSecsSinceEpoch();
        QCOMPARE(writer.write_file(0, "undated", 1, bytes_fill("u")), restore_written);
        const QFileInfo dated(out.filePath("dated"));
        QCOMPARE(dated.lastModified().toSecsSinceEpoch(), modified);
        QCOMPARE(dated.lastRead().toSecsSinceEpoch(), accessed);
        const QFileInfo sparse(out.filePath("sparse"));
        QCOMPARE(sparse.lastModified().toSecsSinceEpoch(), modified);
        QVERIFY(sparse.lastRead().toSecsSinceEpoch() >= before - 5);
        QVERIFY(QFileInfo(out.filePath("undated")).lastModified().toSecsSinceEpoch() >= before - 5);
    }

    // A stop request ends the file being written at its next write: nothing of it stays,
    // and no later file is written.
    void stop_leaves_no_partial_file() {
        QTemporaryDir out;
        std::atomic<bool> stop{false};
        restore_writer_c writer([&] { return stop.load(); });
        QVERIFY(writer.open(out.path()));
        QCOMPARE(writer.write_file(0, "first", 1, bytes_fill("1")), restore_written);
        int writes = 0;
        const auto endless = [&](restore_sink_c* sink) {
            const char block[4096] = {};
            while (sink->write(block, sizeof block)) {
                if (++writes == 100) {
                    stop = true;  // as Ctrl-C would, half-way through
                }
            }
            return -1;
        };
        QCOMPARE(writer.write_file(0, "second", 1 << 30, endless), restore_stopped);
        QCOMPARE(writes, 100);
        QCOMPARE(writer.write_file(0, "third", 1, bytes_fill("3")), restore_stopped);
        QCOMPARE(tree_of(out.path()), QStringList{"first"});
    }

    // Folders nested deeper than a path may be long, each with a file; going back up to a
    // sibling of the top works too.
    void deep_folders() {
        QTemporaryDir out;
        restore_writer_c writer;
        QVERIFY(writer.open(out.path()));
        int folder = restore_writer_c::top_folder;
        const QString long_name(200, QChar(u'd'));
        QString last;
        for (int depth = 0; depth < 60; ++depth) {  // about 12 000 bytes of path
            folder = writer.folder(folder, long_name);
            QCOMPARE(writer.write_file(folder, "f", 1, bytes_fill("f"), &last), restore_written);
        }
        QVERIFY(last.size() > 12000);
        const int sibling = writer.folder(restore_writer_c::top_folder, "other");
        QCOMPARE(writer.write_file(sibling, "g", 1, bytes_fill("g")), restore_written);
        QCOMPARE(writer.write_file(folder, "h", 1, bytes_fill("h")), restore_written);
        QVERIFY(QFile::exists(out.filePath("other/g")));
        // deeper than a path may be: QTemporaryDir cannot remove it, rm can
        QCOMPARE(QProcess::execute("rm", {"-rf", out.path() + "/" + long_name}), 0);
    }

    // A folder of this run replaced by a link while it runs: nothing is written through it.
    void folder_replaced_meanwhile() {
        QTemporaryDir out;
        QTemporaryDir elsewhere;
        restore_writer_c writer;
        QVERIFY(writer.open(out.path()));
        const int a = writer.folder(0, "a");
        const int b = writer.folder(0, "b");
        QCOMPARE(writer.write_file(a, "1", 1, bytes_fill("1")), restore_written);
        QCOMPARE(writer.write_file(b, "1", 1, bytes_fill("1")), restore_written);
        QVERIFY(QDir(out.path()).rename("a", "moved"));
        QVERIFY(QFile::link(elsewhere.path(), out.filePath("a")));
        QCOMPARE(writer.write_file(a, "2", 1, bytes_fill("2")), restore_failed);
        QCOMPARE(writer.failure(), restore_failure_e::moved);
        QVERIFY(tree_of(elsewhere.path()).isEmpty());
    }

    // A full destination and a read-only one are told apart from other faults (the desktop
    // names each in the user's language), and leave nothing behind.
    void full_and_read_only_destinations() {
        if (::geteuid() != 0) {
            QSKIP("mounting a small tmpfs needs root");
        }
        QTemporaryDir out;
        const QByteArray where = QFile::encodeName(out.path());
        if (::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k") != 0) {
            QSKIP("tmpfs cannot be mounted here");
        }
        {
            restore_writer_c writer;
            QVERIFY(writer.open(out.path()));
            QCOMPARE(writer.write_file(0, "big.bin", 1 << 20, bytes_fill(QByteArray(1 << 20, 'x'))),
                     restore_failed);
            QCOMPARE(writer.failure(), restore_failure_e::space);
            QVERIFY(tree_of(out.path()).isEmpty());
            QCOMPARE(writer.write_file(0, "small.bin", 1, bytes_fill("s")), restore_written);
            QCOMPARE(writer.failure(), restore_failure_e::none);
        }
        QCOMPARE(::mount("tmpfs", where.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        {
            restore_writer_c writer;
            QVERIFY(writer.open(out.path()));
            QCOMPARE(writer.write_file(0, "late.bin", 1, bytes_fill("l")), restore_failed);
            QCOMPARE(writer.failure(), restore_failure_e::denied);
        }
        QCOMPARE(::umount(where.constData()), 0);
    }

    // The single-file form replaces a regular file or a link by name, never writes through
    // the link, and refuses anything else.
    void exact_path() {
        QTemporaryDir out;
        QTemporaryDir elsewhere;
        QFile old(out.filePath("old"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        old.close();
        QCOMPARE(restore_writer_c::write_exact(out.filePath("old"), bytes_fill("new")),
                 restore_written);
        QCOMPARE(read_all(out.filePath("old")), QByteArray("new"));
        QFile target(elsewhere.filePath("t"));
        QVERIFY(target.open(QIODevice::WriteOnly) && target.write("keep") == 4);
        target.close();
        QVERIFY(QFile::link(elsewhere.filePath("t"), out.filePath("link")));
        QCOMPARE(restore_writer_c::write_exact(out.filePath("link"), bytes_fill("x")),
                 restore_written);
        QCOMPARE(read_all(elsewhere.filePath("t")), QByteArray("keep"));
        QVERIFY(!QFileInfo(out.filePath("link")).isSymLink());
        QCOMPARE(restore_writer_c::write_exact("/dev/null", bytes_fill("x")), restore_failed);
        QCOMPARE(restore_writer_c::write_exact(out.filePath("bad"), bytes_fill("x", 0, -1)),
                 restore_failed);
        QVERIFY(!QFile::exists(out.filePath("bad")));
    }
};

QTEST_GUILESS_MAIN(test_restore_writer)
#include "test_restore_writer.moc"
