#pragma once
// Helpers shared by the tests: fixture paths, image drives, the orvane tool.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "device/volume_list.h"

#include <cstdint>
#include <memory>

#include <sys/types.h>

// Folder of the images the fixture scripts made (ORVANE_FIXTURES).
QString fixture_path(const QString& relative);
// True when the fixture exists; otherwise the caller should QSKIP with the reason.
bool fixture_exists(const QString& relative);
// Replaces the image drives with these images (no block devices in tests) and reopens the
// drive table; returns the number of drives.
int use_images(const QStringList& images);
// Runs the orvane tool; returns its exit code and fills stdout/stderr.
int run_orvane(const QStringList& arguments, QByteArray* out, QByteArray* err,
               int timeout_ms = 120000);
QByteArray sha256_of_file(const QString& path);
// A sparse copy (cp --sparse=always) of the fixture `relative` at `to`: `to`, or empty when
// it could not be made.
QString sparse_fixture_copy(const QString& relative, const QString& to);
// The 44-byte header of a PCM WAV file (2 channels, 16 bits, 44.1 kHz) whose data chunk
// holds data_bytes: what the deep scan finds as a "wav" of 44 + data_bytes bytes.
QByteArray wav_header(std::uint32_t data_bytes);

// Runs a tool (a minute at most); true when it exited with 0. *out gets its standard output,
// trimmed.
bool run_program(const QString& program, const QStringList& arguments, QString* out = nullptr);
// `len` bytes of a file from `offset` (fewer at its end; empty when it cannot be read), and
// bytes written into a file at `offset` (the file made when missing).
QByteArray read_bytes(const QString& path, qint64 offset, qint64 len);
bool write_bytes(const QString& path, qint64 offset, const QByteArray& bytes);
// Makes a memory drive holding these bytes the only drive besides no images, and returns
// its volume as a superfloppy with the given file-system name.
volume_item_s memory_volume(const QString& name, std::shared_ptr<const QByteArray> bytes,
                            const QString& file_system = QStringLiteral("FAT"));

// A child process run as the device layer runs its helpers: a Unix socket pair (or, with
// socket_out false, a pipe) as its standard output and a pipe as its standard error. out is
// this side of its standard output; pid is -1 when it could not be started.
struct child_process_s {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};
child_process_s spawn_child(const QStringList& argv, bool socket_out = true);
// Reads the child's standard error to its end into *said, waits for it and closes this
// side; returns its exit code, or -1 when it did not exit normally.
int finish_child(child_process_s& child, QByteArray* said);

// An NTFS volume made with mkntfs on a loop device and mounted through ntfs-3g, for code
// about the mount table. Needs root, losetup and FUSE; ready() is false (with the reason)
// where the machine cannot.
class ntfs_mount_c {
  public:
    ntfs_mount_c();
    ~ntfs_mount_c();
    ntfs_mount_c(const ntfs_mount_c&) = delete;
    ntfs_mount_c& operator=(const ntfs_mount_c&) = delete;

    bool ready() const { return mounted_; }
    QString reason() const { return reason_; }
    QString device() const { return device_; }  // /dev/loopN
    QString mount_point() const { return mount_point_; }

  private:
    bool run(const QString& program, const QStringList& arguments, QString* out = nullptr);

    QString folder_;
    QString device_;
    QString mount_point_;
    QString reason_;
    bool mounted_ = false;
};
