#pragma once
// The metadata of found files, read in a child process (orvane-meta) rather than in the
// process that holds the disk: libexif, TagLib and our own readers parse hostile bytes, and a
// fault in one of them must neither reach the disk nor end the scan.
//
// The child is started once and kept for the scan. It holds no descriptor but its end of a
// socket pair, gives up root before it parses when started as root, has its address space
// bounded and cannot open files where the kernel allows that. For each file the parent sends
// the type, the file's size and its first bytes; the child asks for any other bytes it needs
// (at most 64 KiB at a time) and the parent serves them from its window, so the child never
// sees a byte outside the file. A child that crashes, hangs past the timeout or answers out of
// turn is killed; that file says nothing about itself and the next file starts a new child.
//
// Started for pictures, the same child decodes the desktop program's previews and thumbnails
// instead: the encoded bytes go in, at most side x side decoded pixels come back.
//
// Used by one thread at a time (the scanning thread, or whoever reads a loaded scan file's
// metadata); owned by the deep-scan engine for the length of one scan or one reading.

#include "engine/raw/file_metadata.h"

#include <QString>

#include <sys/types.h>

#include <chrono>
#include <cstdint>

// A decoded picture as the child sends it: 32-bit premultiplied ARGB pixels, row by row
// (alpha 255 throughout when the picture has no alpha channel).
struct child_picture_s {
    int width = 0;
    int height = 0;
    bool alpha = false;
    QByteArray pixels;  // width * height * 4 bytes; empty when the bytes are no picture
};

class meta_child_c {
  public:
    // pictures: a child that decodes pictures (decode_picture) rather than metadata.
    explicit meta_child_c(bool pictures = false);
    ~meta_child_c();
    meta_child_c(const meta_child_c&) = delete;
    meta_child_c& operator=(const meta_child_c&) = delete;

    // The metadata of the file the window covers, as read_file_meta gives it; empty when the
    // child failed on this file or cannot be started.
    file_meta_s read(const QByteArray& type, sig::window_c& w);

    // The picture the bytes hold, in the format the reader name gives (empty: told by the
    // content), scaled to at most side x side pixels (side at most max_side). Child started
    // for pictures only; an empty picture when it fails.
    child_picture_s decode_picture(const QByteArray& bytes, const QByteArray& format, int side);

    // How long the child may take to answer one message (default 5 s).
    void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // The running child; -1 when none runs.
    pid_t child_pid() const { return pid_; }
    // The user the running child parses as (from its greeting); -1 when none runs.
    long child_uid() const { return child_uid_; }
    // Children that crashed, hung or misbehaved and were ended.
    int failures() const { return failures_; }
    // Children started so far.
    int starts() const { return starts_; }

  private:
    bool start();
    void stop(bool kill_it);
    bool serve(const QByteArray& type, sig::window_c& w, file_meta_s* meta);
    bool exchange_picture(const QByteArray& bytes, const QByteArray& format, int side,
                          child_picture_s* picture);
    void fail(const char* what);

    QString program_;
    bool pictures_ = false;
    pid_t pid_ = -1;
    int socket_ = -1;
    long child_uid_ = -1;
    int failures_ = 0;
    int starts_ = 0;
    int failed_starts_ = 0;  // in a row; past a few the child is not started again
    std::chrono::milliseconds timeout_{5000};
};

namespace meta_wire {

// The messages between the two processes, in the host's byte order (both ends are this build).
enum kind_e : std::uint32_t {
    hello = 0x4D455401,    // child: uid, euid (u32 each), once after it gave up root
    file = 0x4D455402,     // parent: type length, head length (u32), bound (u64), type, head
    read = 0x4D455403,     // child: pos (u64), n, want (u32); parent: got (u32), bytes
    result = 0x4D455404,   // child: created, modified (i64), title length (u32), UTF-8 title
    picture = 0x4D455405,  // parent: format length, side, byte count (u32), format, bytes;
                           // child: width, height, alpha (u32), width * height * 4 bytes
};
constexpr std::uint32_t max_type = 16;
constexpr std::uint32_t max_head = 64 * 1024;
constexpr std::uint32_t max_title = 16 * 1024;
// Reads one file may ask for: 64 KiB each, at most 256 MiB of a file.
constexpr std::uint32_t max_reads = 4096;
// Pictures: the encoded bytes sent, and the longer edge of what comes back.
constexpr std::uint32_t max_picture_bytes = 64u << 20;
constexpr std::uint32_t max_side = 2048;

}  // namespace meta_wire
