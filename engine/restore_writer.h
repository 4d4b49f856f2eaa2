#pragma once
// The one place where restored files are written: every engine's bytes, for the orvane
// tool and the desktop program alike.
//
// The destination folder is opened once; every folder and file below it is made relative
// to that descriptor (mkdirat, openat) without following a symbolic link, and only with an
// exclusive create: nothing that was there before is written into or replaced. A file is
// written under a hidden temporary name in its folder and renamed to its own name only when
// the engine wrote it whole and its size is the one expected; on failure or stop the
// temporary file is removed, so no half-written file ever carries a real name. Names are
// made safe and fit 255 bytes; a taken name becomes "name (2).ext", "name (3).ext", ...,
// counted per folder and per name, never by rescanning.
//
// Used on one thread (the tool's main thread or the desktop program's restoration worker);
// owned by whoever restores, for one run into one destination.

#include "engine/restore_sink.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <vector>

// The times a restored file is given, in seconds since 1970 UTC; 0 leaves that time as
// the restore made it (the file system had none, or the engine does not know it).
struct restore_times_s {
    std::int64_t modified = 0;
    std::int64_t accessed = 0;
};

// The outcome of one file.
enum restore_result_e {
    restore_written = 0,   // the whole file is in place under its name
    restore_failed = -1,   // see error_text(); nothing of it was left behind
    restore_stopped = -2,  // a stop request ended it; nothing of it was left behind
};

// What kind of fault ended the last file, for words a user reads in their own language
// (error_text() has the details, in English).
enum class restore_failure_e {
    none,
    reading,      // the engine could not read the file's bytes whole
    space,        // the destination is full, or the file too large for it
    denied,       // the destination refused: permissions, or read-only
    moved,        // a folder of this restore was moved or replaced meanwhile
    destination,  // any other fault of the destination
};

class restore_writer_c {
  public:
    // Fills the sink with one file's bytes; 0 when the file was written whole (an engine's
    // restore_into).
    using fill_fn = std::function<int(restore_sink_c* sink)>;
    // Asked between writes: true ends the file being written and every later one.
    using stop_fn = std::function<bool()>;
    static constexpr int top_folder = 0;
    static constexpr std::uint64_t size_unknown = ~std::uint64_t{0};

    explicit restore_writer_c(stop_fn stop = {});
    ~restore_writer_c();
    restore_writer_c(const restore_writer_c&) = delete;
    restore_writer_c& operator=(const restore_writer_c&) = delete;

    // Opens (making it and its parents first when missing) the destination folder. False,
    // with error_text(), when it cannot be opened as a folder. Run as root, what the writer
    // makes is private (files 0600, folders 0700; platform/safe_file.h).
    bool open(const QString& destination);
    // Gives every folder and file made from now on (and the destination folder, when open()
    // made it) to this user and group: root restores for a user. Call before open().
    void set_owner(uid_t user, gid_t group) {
        owner_ = user;
        group_ = group;
        chown_ = true;
    }
    // A folder found on the volume, inside parent (top_folder or an earlier result). Made on
    // disk only when a file is written into it; the same parent and name give the same
    // folder.
    int folder(int parent, const QString& found_name);
    // Writes one file into folder under its found name (made safe, numbered when taken).
    // expected_size: the size the file must have, or size_unknown. *written_name gets the
    // name it was given, relative to the destination. times: set on the file once it is
    // written whole, before it takes its name.
    restore_result_e write_file(int folder, const QString& found_name, std::uint64_t expected_size,
                                const fill_fn& fill, QString* written_name = nullptr,
                                const restore_times_s& times = {});
    // Writes path exactly (its folder must exist), replacing a regular file or link of that
    // name but never writing through one; for previews and single files.
    static restore_result_e write_exact(const QString& path, const fill_fn& fill,
                                        QString* error = nullptr);

    // Why the last file or open() failed, for the user.
    const QString& error_text() const { return error_text_; }
    restore_failure_e failure() const { return failure_; }
    bool stop_requested() const { return stop_ && stop_(); }

  private:
    struct folder_s {
        int parent = -1;
        QString found_name;
        QString made_name;  // empty until made on disk
        int depth = 0;
        dev_t device = 0;
        ino_t inode = 0;
        QHash<QString, int> folders;      // found name -> folder index
        QSet<QString> taken;              // names this run made here
        QHash<QString, int> next_number;  // safe name -> next n to try
    };

    bool enter(int folder);
    bool make_folder(int folder);
    int take_name(folder_s& where, const QString& safe, int dir, const char* temp, QString* name);

    // Hands a name just made in dir to the owner set; true when none is set.
    bool give(int dir, const char* name);

    stop_fn stop_;
    bool chown_ = false;
    uid_t owner_ = 0;
    gid_t group_ = 0;
    int top_fd_ = -1;
    int current_fd_ = -1;  // a descriptor of folders_[current_]
    int current_ = -1;
    std::vector<folder_s> folders_;
    QString error_text_;
    restore_failure_e failure_ = restore_failure_e::none;
};
