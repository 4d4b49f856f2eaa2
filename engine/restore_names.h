#pragma once
// Names for restored files. Names come from the disk and may be hostile: a restored file
// must land inside the destination folder and never overwrite another.

#include <QSet>
#include <QString>

// The longest name a Linux file system takes, in bytes of UTF-8.
constexpr int restore_name_bytes = 255;
// How many numbered names ("name (2).ext" ... ) are tried before a name counts as taken.
constexpr int restore_name_tries = 100000;

// One path component made safe: '/', '\\' and NUL become '_', control characters become
// '_', a lone UTF-16 surrogate becomes U+FFFD, "." and ".." and the empty name get a '_' in
// front; at most 255 bytes of UTF-8, cut before an extension of up to 32 bytes, which stays.
QString safe_file_name(const QString& name);

// The n-th name for a safe name: the name itself for n < 2, else "base (n).ext". The base
// is cut (never the " (n)" nor an extension of up to 32 bytes) so that the whole fits 255
// bytes; different n always give different names.
QString numbered_name(const QString& safe, int n);

// A path under folder for name that does not exist yet and that this run has not handed
// out before (then "name (2).ext", "name (3).ext", ...). The path is recorded in used.
// Kept for callers that name a path themselves; restores go through restore_writer_c.
QString unique_path(const QString& folder, const QString& name, QSet<QString>* used);
