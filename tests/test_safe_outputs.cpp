// Files are written only where the user asked: no link planted by another user is
// followed, a copy continues only from its own source's map, nothing is restored onto the
// disk or image being read, a scan file cannot copy out bytes that are not of its records'
// types, and what root makes is not for other users to read.
#include "fat_image.h"
#include "loop_device.h"
#include "test_support.h"

#include "device/platform/safe_file.h"
#include "engine/raw/raw_recovery.h"
#include "engine/restore_names.h"
#include "engine/restore_writer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool write_file(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The second user of the machine the tests run on: nobody, which every system has.
const struct passwd* other_user() {
    return ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
}

// Whether the other user could open path for reading: a child gives up root for that user
// and tries.
bool other_user_can_read(const QString& path) {
    const struct passwd* user = other_user();
    const QByteArray native = QFile::encodeName(path);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(user->pw_gid, user->pw_gid, user->pw_gid) ||
            ::setresuid(user->pw_uid, user->pw_uid, user->pw_uid) != 0) {
            ::_exit(2);
        }
        const int fd = ::open(native.constData(), O_RDONLY);
        ::_exit(fd >= 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder every user may enter and read (QTemporaryDir makes its folders 0700), so that a
// file's own mode decides who reads it.
void open_to_all(const QTemporaryDir& dir) {
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
}

int mode_of(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

QByteArray random_disk(int seed, int bytes) {
    QByteArray disk(bytes, '\0');
    for (int i = 0; i < bytes; ++i) {
        disk[i] = static_cast<char>((i * 131 + seed * 7919 + (i >> 9) * seed) & 0xFF);
    }
    return disk;
}

QByteArray scan_file(const QByteArray& device, std::uint64_t offset, std::uint64_t size,
                     const char* type) {
    QByteArray data(256 + 32, '\0');
    std::memcpy(data.data(), device.constData(), static_cast<std::size_t>(device.size()));
    signature_record r{};
    r.index = 0;
    r.offset = offset;
    r.size = size;
    std::memcpy(r.type, type, std::min<std::size_t>(8, std::strlen(type)));
    std::memcpy(data.data() + 256, &r, 32);
    return data;
}

QStringList files_under(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found << QDir(folder).relativeFilePath(it.next());
    }
    found.sort();
    return found;
}

}  // namespace

class test_safe_outputs : public QObject {
    Q_OBJECT

  private slots:
    // The helper every output goes through: a link at a new file's name, a continued file
    // that is a link, a device or another user's, and a link on the way to a folder that
    // another user made are all refused; a replaced file replaces a link, never its target.
    void creation_rule() {
        QTemporaryDir dir;
        const QByteArray base = QFile::encodeName(dir.path());
        QVERIFY(write_file(dir.filePath("target"), "keep"));
        QVERIFY(QFile::link(dir.filePath("target"), dir.filePath("link")));
        std::string why;
        const int folder = platform::open_folder(base.toStdString(), false, &why);
        QVERIFY2(folder >= 0, why.c_str());
        QCOMPARE(platform::create_file(folder, "link", O_WRONLY), -1);
        QCOMPARE(errno, EEXIST);
        QCOMPARE(platform::open_continued(folder, "link", O_RDWR, &why), -1);
        QVERIFY2(QString::fromStdString(why).contains("symbolic link"), why.c_str());
        QVERIFY(platform::replace_file(folder, "link", "new", 3, &why));
        QCOMPARE(read_file(dir.filePath("target")), QByteArray("keep"));
        QCOMPARE(read_file(dir.filePath("link")), QByteArray("new"));
        QVERIFY(!QFileInfo(dir.filePath("link")).isSymLink());
        QVERIFY(files_under(dir.path()) == (QStringList{"link", "target"}));  // no temporary
        // A link of the caller's own on the way is followed; the folder is made when missing.
        QVERIFY(QFile::link(dir.path(), dir.filePath("mine")));
        const int made = platform::open_folder((base + "/mine/a/b").toStdString(), true, &why);
        QVERIFY2(made >= 0, why.c_str());
        ::close(made);
        QVERIFY(QFileInfo(dir.filePath("a/b")).isDir());
        const int device = ::open("/dev", O_RDONLY | O_DIRECTORY);
        QCOMPARE(platform::open_continued(device, "null", O_RDONLY, &why), -1);
        ::close(device);
        if (const struct passwd* user = other_user()) {
            // The mode of what root makes.
            QCOMPARE(mode_of(dir.filePath("link")), 0600);
            QCOMPARE(mode_of(dir.filePath("a")), 0700);
            // Another user's file is not continued; another user's link is not followed.
            QVERIFY(::chown((base + "/target").constData(), user->pw_uid, user->pw_gid) == 0);
            QCOMPARE(platform::open_continued(folder, "target", O_RDWR, &why), -1);
            QVERIFY2(QString::fromStdString(why).contains("another user"), why.c_str());
            QVERIFY(QFile::link(dir.path(), dir.filePath("theirs")));
            QVERIFY(::lchown((base + "/theirs").constData(), user->pw_uid, user->pw_gid) == 0);
            QCOMPARE(platform::open_folder((base + "/theirs/c").toStdString(), true, &why), -1);
            QVERIFY2(QString::fromStdString(why).contains("another user owns"), why.c_str());
            QVERIFY(!QFileInfo::exists(dir.filePath("c")));
        }
        ::close(folder);
    }

    // orvane image: an output or a map that is a planted link is refused and its target is
    // left as it was; a map that leads to the image itself is refused; a map of another
    // source, or one that names no source, is refused. Made by root, the image and the map
    // are not for other users to read.
    void image_outputs_data() {
        QTest::addColumn<QString>("case_name");
        QTest::addColumn<QByteArray>("words");
        QTest::newRow("output is a link") << "output is a link" << QByteArray("symbolic link");
        QTest::newRow("map is a link") << "map is a link" << QByteArray("symbolic link");
        QTest::newRow("map links to the output")
            << "map links to the output" << QByteArray("symbolic link");
        QTest::newRow("map is the output by another path")
            << "map is the output by another path" << QByteArray("two files");
        QTest::newRow("another source's map")
            << "another source's map" << QByteArray("first or last MiB");
        QTest::newRow("a map naming no source")
            << "a map naming no source" << QByteArray("does not name its source");
        QTest::newRow("a private copy") << "a private copy" << QByteArray();
    }
    void image_outputs() {
        QFETCH(QString, case_name);
        QFETCH(QByteArray, words);
        QTemporaryDir dir;
        QTemporaryDir elsewhere;
        open_to_all(dir);
        const QString source = dir.filePath("source.img");
        const QString other = dir.filePath("other.img");
        QVERIFY(write_file(source, random_disk(1, 4 << 20)));
        QVERIFY(write_file(other, random_disk(2, 4 << 20)));
        const QString victim = elsewhere.filePath("victim");
        QVERIFY(write_file(victim, "root's own file"));
        QString output = dir.filePath("copy.img");
        QString map = dir.filePath("copy.map");
        QString from = source;
        QByteArray out, err;
        const auto plant = [&](const QString& at, const QString& to) {
            QVERIFY(QFile::link(to, at));
            if (const struct passwd* user = other_user()) {
                QVERIFY(::lchown(QFile::encodeName(at).constData(), user->pw_uid, user->pw_gid) ==
                        0);
            }
        };
        if (case_name == "output is a link") {
            plant(output, victim);
        } else if (case_name == "map is a link") {
            plant(map, victim);
        } else if (case_name == "map links to the output") {
            QCOMPARE(run_orvane({"image", "--map", map, source, output}, &out, &err), 0);
            QFile::remove(map);
            plant(map, output);
        } else if (case_name == "map is the output by another path") {
            QVERIFY(QFile::link(dir.path(), dir.filePath("same")));
            map = dir.filePath("same/copy.img");
        } else if (case_name == "another source's map") {
            QCOMPARE(run_orvane({"image", "--map", map, source, output}, &out, &err), 0);
            from = other;
        } else if (case_name == "a map naming no source") {
            QVERIFY(write_file(output, QByteArray(4 << 20, '\0')));
            QVERIFY(write_file(map, "0x0 ?\n0x0 0x400000 ?\n"));
        }
        const QByteArray image_before = read_file(output);
        const QByteArray map_before = read_file(map);
        const int code = run_orvane({"image", "--map", map, from, output}, &out, &err);
        if (words.isEmpty()) {
            QCOMPARE(code, 0);
            QCOMPARE(read_file(output), read_file(source));
            const QByteArray text = read_file(map);
            QVERIFY2(text.contains("# Source: " + QFile::encodeName(source) + '\n'),
                     text.constData());
            QVERIFY(text.contains("# Source size: 4194304\n"));
            if (other_user()) {
                QVERIFY(!other_user_can_read(output));
                QVERIFY(!other_user_can_read(map));
                QVERIFY(other_user_can_read(dir.filePath("source.img")));  // the test's own
            }
            // Run again with the same map: the copy is known complete, nothing is refused.
            QCOMPARE(run_orvane({"image", "--map", map, source, output}, &out, &err), 0);
            QVERIFY2(out.startsWith("continuing from"), out.constData());
            return;
        }
        QCOMPARE(code, 2);
        QVERIFY2(err.contains(words), err.constData());
        QCOMPARE(read_file(victim), QByteArray("root's own file"));
        QCOMPARE(read_file(output), image_before);
        if (!QFileInfo(map).isSymLink()) {
            QCOMPARE(read_file(map), map_before);
        }
        if (case_name == "map is the output by another path") {
            QVERIFY(!QFileInfo::exists(output));  // the empty image made is taken back
        }
    }

    // A map without our source lines (GNU ddrescue's, an older version's) is refused with a
    // pointer to --trust-map; with it the copy goes on from the map, which names the source
    // from then on: another source is refused with it after that. --trust-map never lets a
    // map of another named source through.
    void trusted_map_binds_to_its_source() {
        QTemporaryDir dir;
        const QString source = dir.filePath("source.img");
        const QString other = dir.filePath("other.img");
        const QByteArray disk = random_disk(3, 4 << 20);
        QVERIFY(write_file(source, disk));
        QVERIFY(write_file(other, random_disk(4, 4 << 20)));
        const QString output = dir.filePath("copy.img");
        const QString map = dir.filePath("copy.map");
        // The first 2 MiB copied by another tool; the rest of its image still zeros.
        QVERIFY(write_file(output, disk.left(2 << 20) + QByteArray(2 << 20, '\0')));
        QVERIFY(write_file(map,
                           "# Mapfile. Created by GNU ddrescue version 1.27\n"
                           "0x00200000 ? 1\n"
                           "0x00000000 0x00200000 +\n"
                           "0x00200000 0x00200000 ?\n"));
        QByteArray out, err;
        QCOMPARE(run_orvane({"image", "--map", map, source, output}, &out, &err), 2);
        QVERIFY2(err.contains("--trust-map"), err.constData());
        QCOMPARE(run_orvane({"image", "--trust-map", source, output}, &out, &err), 2);
        QVERIFY2(err.contains("--trust-map goes with"), err.constData());

        QCOMPARE(run_orvane({"image", "--map", map, "--trust-map", source, output}, &out, &err), 0);
        QVERIFY2(out.startsWith("continuing from"), out.constData());
        QVERIFY2(out.contains(": 2.00M of 4.00M copied"), out.constData());
        QCOMPARE(read_file(output), disk);
        const QByteArray text = read_file(map);
        QVERIFY2(text.contains("# Source: " + QFile::encodeName(source) + '\n'), text.constData());

        // Bound now: another source is refused, also on the user's word.
        for (const bool trust : {false, true}) {
            QStringList arguments{"image", "--map", map};
            if (trust) {
                arguments << "--trust-map";
            }
            arguments << other << output;
            QCOMPARE(run_orvane(arguments, &out, &err), 2);
            QVERIFY2(err.contains("first or last MiB"), err.constData());
            QVERIFY2(!err.contains("--trust-map"), err.constData());
            QCOMPARE(read_file(output), disk);
        }
    }

    // Names cut to 255 bytes keep their extension and stay apart; a lone surrogate is
    // written as U+FFFD and counted as its three bytes.
    void long_names_keep_their_extension() {
        QTemporaryDir dir;
        restore_writer_c writer;
        QVERIFY(writer.open(dir.path()));
        const QString base(250, QLatin1Char('n'));
        QStringList written;
        for (const char* tail : {"1.jpeg", "2.jpeg", "3.jpeg"}) {
            QString name;
            const auto fill = [](restore_sink_c* sink) { return sink->write("x", 1) ? 0 : -1; };
            QCOMPARE(writer.write_file(restore_writer_c::top_folder, base + tail, 1, fill, &name),
                     restore_written);
            QVERIFY2(QFile::encodeName(name).size() <= 255, qPrintable(name));
            QVERIFY2(name.endsWith(".jpeg"), qPrintable(name));
            written << name;
        }
        QCOMPARE(QSet<QString>(written.begin(), written.end()).size(), 3);
        QCOMPARE(files_under(dir.path()).size(), 3);
        QVERIFY(written[1].endsWith(" (2).jpeg"));

        const QString lone = QString(QChar(0xD800)) + QString(84, QChar(0x00E9)) +
                             QString(QChar(0xDC00)) + QString(84, QChar(0x4E2D)) + ".txt";
        const QString safe = safe_file_name(lone);
        QVERIFY(!safe.contains(QChar(0xD800)) && safe.contains(QChar(QChar::ReplacementCharacter)));
        QVERIFY2(safe.toUtf8().size() <= 255, qPrintable(QString::number(safe.toUtf8().size())));
        QVERIFY(safe.endsWith(".txt"));
        QString name;
        QCOMPARE(
            writer.write_file(
                restore_writer_c::top_folder, lone, 0, [](restore_sink_c*) { return 0; }, &name),
            restore_written);
        QVERIFY(QFileInfo::exists(dir.filePath(name)));
    }

    // The tool's table shows control characters of found names escaped: a newline cannot
    // forge a row, an escape sequence cannot reach the terminal. --json gives them exactly.
    void names_in_the_table_are_escaped() {
        QString error;
        auto fat = fat_image_c::make(1024, {"-F", "12"}, &error);
        QVERIFY2(fat, qPrintable(error));
        // Two deleted files (the quick scan lists those) whose names hold control characters.
        fat->put_entry(fat->root_offset(), "A\nB     TXT", 0x20, 0, 0, true);
        fat->put_entry(fat->root_offset() + 32, "C\x1b[2JD  TXT", 0x20, 0, 0, true);
        QTemporaryDir dir;
        const QString image = dir.filePath("names.img");
        QVERIFY(write_file(image, fat->bytes()));
        QByteArray out, err;
        QCOMPARE(run_orvane({"scan", image}, &out, &err), 0);
        QVERIFY2(!out.contains('\x1b'), out.constData());
        QVERIFY2(out.contains("/#\\nB.TXT  "), out.constData());
        QVERIFY2(out.contains("/#\\x1b[2JD.TXT  "), out.constData());
        QCOMPARE(out.count('\n'), 3);  // the header and one row per file
        QCOMPARE(run_orvane({"scan", "--json", image}, &out, &err), 0);
        QStringList names;
        for (const QByteArray& line : out.split('\n')) {
            if (!line.isEmpty()) {
                names << QJsonDocument::fromJson(line).object().value("name").toString();
            }
        }
        QVERIFY2(names.contains(QStringLiteral("#\nB.TXT")), qPrintable(names.join('|')));
        QVERIFY2(names.contains(QStringLiteral("#\x1b[2JD.TXT")), qPrintable(names.join('|')));
    }

    // A VMDK whose extent beside the descriptor is a symbolic link (to a disk, or to any
    // file) is refused; the same image with its extent as a file is read.
    void vmdk_extent_links_are_refused() {
        const QString qemu_img = system_tool("qemu-img");
        if (qemu_img.isEmpty()) {
            QSKIP("qemu-img is not installed");
        }
        QTemporaryDir dir;
        const QString vmdk = dir.filePath("disk.vmdk");
        QVERIFY(run_quietly(qemu_img, {"create", "-q", "-f", "vmdk", "-o",
                                       "subformat=monolithicFlat", vmdk, "1M"}));
        const QString extent = dir.filePath("disk-flat.vmdk");
        QVERIFY(QFileInfo(extent).isFile());
        QByteArray out, err;
        QCOMPARE(run_orvane({"drives", "--image", vmdk}, &out, &err), 0);
        QVERIFY2(out.contains("VMDK"), out.constData());
        const QString secret = dir.filePath("secret");
        QVERIFY(QFile::rename(extent, secret));
        QVERIFY(QFile::link(secret, extent));
        QCOMPARE(run_orvane({"drives", "--image", vmdk}, &out, &err), 2);
        QVERIFY2(err.contains("not a regular file"), err.constData());
        QFile::remove(extent);
        QVERIFY(QFile::link("/dev/zero", extent));
        QCOMPARE(run_orvane({"drives", "--image", vmdk}, &out, &err), 2);
        QVERIFY2(err.contains("not a regular file"), err.constData());
    }

    // A hand-made scan file (no identity trailer) loads only with --trust-scan-file, and
    // then a record whose bytes are not of its type is refused with the reason: a "jpg" laid
    // over a text file's data copies nothing out. A record that is what it says restores.
    void hostile_scan_records_are_refused() {
        QString error;
        auto fat = fat_image_c::make(2048, {"-F", "12"}, &error);
        QVERIFY2(fat, qPrintable(error));
        const QByteArray secret = "root:secret-hash-of-the-password:19000:0:99999:7:::\n";
        const QByteArray png = read_file("/usr/share/gitweb/static/git-logo.png");
        QByteArray& bytes = fat->bytes();
        const qint64 text_at = fat->cluster_offset(10);
        const qint64 png_at = fat->cluster_offset(20);
        bytes.replace(text_at, secret.size(), secret);
        if (!png.isEmpty()) {
            bytes.replace(png_at, png.size(), png);
        }
        QTemporaryDir dir;
        const QString image = dir.filePath("volume.img");
        QVERIFY(write_file(image, bytes));
        const QByteArray device = QFile::encodeName(QFileInfo(image).canonicalFilePath());
        const QString sav = dir.filePath("hostile.sav");
        QVERIFY(write_file(sav, scan_file(device, text_at, secret.size(), "jpg")));
        QTemporaryDir out;
        QByteArray said, err;
        QCOMPARE(run_orvane({"restore", "--from", sav, "--image", image, "--to", out.path()}, &said,
                            &err),
                 2);
        QVERIFY2(err.contains("--trust-scan-file"), err.constData());
        QCOMPARE(run_orvane({"restore", "--from", sav, "--trust-scan-file", "--image", image,
                             "--to", out.path()},
                            &said, &err),
                 1);
        QVERIFY2(err.contains("refused: its bytes do not begin a jpg file"), err.constData());
        QVERIFY(files_under(out.path()).isEmpty());
        if (png.isEmpty()) {
            QSKIP("no PNG under /usr/share to restore");
        }
        // A record longer than its file would copy what follows it: refused too.
        QVERIFY(write_file(sav, scan_file(device, png_at, png.size() + 4096, "png")));
        QCOMPARE(run_orvane({"restore", "--from", sav, "--trust-scan-file", "--image", image,
                             "--to", out.path()},
                            &said, &err),
                 1);
        QVERIFY2(err.contains("not a whole png file"), err.constData());
        QVERIFY(write_file(sav, scan_file(device, png_at, png.size(), "png")));
        QCOMPARE(run_orvane({"restore", "--from", sav, "--trust-scan-file", "--image", image,
                             "--to", out.path()},
                            &said, &err),
                 0);
        const QStringList files = files_under(out.path());
        QCOMPARE(files.size(), 1);
        QCOMPARE(read_file(out.filePath(files.first())), png);
    }

    // Root restores privately: files 0600, folders 0700, which the other user cannot read,
    // and the summary says so; --owner gives the restored tree to a user.
    void restored_files_are_private_as_root() {
        if (!other_user()) {
            QSKIP("needs root and the user nobody to tell who may read what");
        }
        if (!fixture_exists("fat/fat32.img")) {
            QSKIP("fixture fat/fat32.img missing (tests/fixtures/make_fat_scan.sh)");
        }
        QTemporaryDir dir;
        open_to_all(dir);
        const QString to = dir.filePath("restored");
        QByteArray out, err;
        run_orvane({"restore", "--to", to, fixture_path("fat/fat32.img")}, &out, &err);
        const QStringList files = files_under(to);
        QVERIFY2(!files.isEmpty(), (out + err).constData());
        QVERIFY2(err.contains("readable by root only"), err.constData());
        QCOMPARE(mode_of(to), 0700);
        for (const QString& file : files) {
            QCOMPARE(mode_of(to + '/' + file), 0600);
        }
        ::chmod(QFile::encodeName(to).constData(), 0755);  // only the files' modes now
        QVERIFY(!other_user_can_read(to + '/' + files.first()));

        const QString given = dir.filePath("given");
        QCOMPARE(run_orvane(
                     {"restore", "--owner", "nobody", "--to", given, fixture_path("fat/fat32.img")},
                     &out, &err),
                 0);
        QVERIFY2(err.contains("belong to nobody"), err.constData());
        QCOMPARE(QFileInfo(given).ownerId(), other_user()->pw_uid);
        for (const QString& file : files_under(given)) {
            QCOMPARE(QFileInfo(given + '/' + file).ownerId(), other_user()->pw_uid);
            QVERIFY(other_user_can_read(given + '/' + file));
        }
        QCOMPARE(run_orvane({"restore", "--owner", "no-such-user-here", "--to", given,
                             fixture_path("fat/fat32.img")},
                            &out, &err),
                 2);
    }

    // A deep restore into a folder on a mounted partition of the disk being read is refused:
    // the loop disk itself, and the image behind it.
    void no_restore_onto_the_source() {
        QTemporaryDir dir;
        const QString image = dir.filePath("disk.img");
        {
            QFile file(image);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(64 << 20));
        }
        const QString sfdisk = system_tool("sfdisk");
        const QString mkfs = system_tool("mkfs.ext4");
        if (sfdisk.isEmpty() || mkfs.isEmpty()) {
            QSKIP("needs sfdisk and mkfs.ext4");
        }
        QVERIFY(run_quietly(sfdisk, {"-q", image}, nullptr, "label: dos\n,30M\n,\n"));
        loop_device_c loop;
        QString why;
        const QString device = loop.attach(image, &why, {"--partscan"});
        if (device.isEmpty()) {
            QSKIP(qPrintable(why));
        }
        const QString first = device + "p1";
        if (!QFileInfo::exists(first) || !run_quietly(mkfs, {"-q", "-F", first})) {
            QSKIP("the loop device's partitions cannot be formatted here");
        }
        const QString mount_point = dir.filePath("mnt");
        QDir().mkpath(mount_point);
        if (!run_quietly(system_tool("mount"), {first, mount_point})) {
            QSKIP("an ext4 partition cannot be mounted here");
        }
        const QString to = mount_point + "/restored";
        QByteArray out, err;
        const int by_image = run_orvane(
            {"restore", "--deep", "--image", image, "--partition", "2", "--to", to, image}, &out,
            &err);
        const QByteArray image_err = err;
        const int by_device =
            run_orvane({"restore", "--deep", "--to", to, device + "p2"}, &out, &err);
        const bool made = QFileInfo::exists(to);
        run_quietly(system_tool("umount"), {mount_point});
        QCOMPARE(by_image, 2);
        QVERIFY2(image_err.contains("lies on the volume being recovered"), image_err.constData());
        QVERIFY(!made);
        if (by_device != 2 && err.contains("no volume")) {
            QSKIP("the loop device is not listed as a drive here");
        }
        QCOMPARE(by_device, 2);
        QVERIFY2(err.contains("lies on the volume being recovered"), err.constData());
    }
};

QTEST_GUILESS_MAIN(test_safe_outputs)
#include "test_safe_outputs.moc"
