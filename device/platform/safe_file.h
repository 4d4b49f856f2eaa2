#pragma once
// How every file the program creates is made: images and their maps, sector backups, scan
// files and checkpoints, the error log and restored files.
//
// A folder is reached from "/" (or the working folder) one component at a time, each
// opened O_DIRECTORY|O_NOFOLLOW relative to the one before; a symbolic link on the way is
// followed only when root or the caller owns it, so that a link another user planted in a
// shared folder leads nowhere. Files are then made relative to that descriptor: a new file
// with O_CREAT|O_EXCL|O_NOFOLLOW, a file that is continued (an image beside its map, the
// error log) opened O_NOFOLLOW and accepted only as a regular file the caller owns, and a
// replaced file (a map, a scan file) written under a temporary name in the same folder and
// renamed over the old name, which replaces a link there but never writes through it.
//
// Run as root, what the program makes is private: files 0600 and folders 0700 (a disk's
// image or its deleted files are not for every user of the machine); otherwise the umask
// decides. Free of Qt: the privileged helpers may use it too. Safe from any thread.

#include <cstddef>
#include <string>

#include <sys/types.h>

namespace platform {

// True when outputs are made private (the process runs as root).
bool private_outputs();
// The mode new files and folders are made with: 0600/0700 when private, else 0666/0777
// (less the umask).
mode_t new_file_mode();
mode_t new_folder_mode();

// A descriptor of the folder at path (O_RDONLY|O_DIRECTORY|O_CLOEXEC), made first with its
// missing parents when create is set. -1 with *why (a phrase) on failure.
int open_folder(const std::string& path, bool create, std::string* why);
// The folder of path opened as above, and its last component in *name (empty for "/" or a
// path ending in "/": refused).
int open_parent(const std::string& path, bool create, std::string* name, std::string* why);

// A new file in dir: O_CREAT|O_EXCL|O_NOFOLLOW with flags (O_WRONLY or O_RDWR, O_APPEND...)
// and new_file_mode(). -1 with errno (EEXIST when the name is taken, link or not).
int create_file(int dir, const std::string& name, int flags);
// A file that is continued: opened O_NOFOLLOW with flags and accepted only as a regular
// file owned by the caller. -1 with errno (ENOENT when missing) and *why for the others.
int open_continued(int dir, const std::string& name, int flags, std::string* why);
// Opens the file for appending, making it when missing (the error log). -1 on failure.
int open_append(int dir, const std::string& name, std::string* why);

// Replaces dir/name by data at once: written to a new temporary name in dir, synced, then
// renamed over name. False with *why; nothing is left of the temporary file then.
bool replace_file(int dir, const std::string& name, const void* data, std::size_t len,
                  std::string* why);
// The same for a path whose folder is opened as open_parent does.
bool replace_file_at(const std::string& path, bool create_folders, const void* data,
                     std::size_t len, std::string* why);

}  // namespace platform
