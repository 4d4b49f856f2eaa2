#pragma once
// Names for restored files. Names come from the disk and may be hostile: a restored file
// must land inside the destination folder and never overwrite another.

#include <QSet>
#include <QString>

// One path component made safe: '/', '\\' and NUL become '_', control characters become
// '_', "." and ".." and the empty name get a '_' in front; at most 255 bytes of UTF-8.
QString safe_file_name(const QString& name);

// A path under folder for name that does not exist yet and that this run has not handed
// out before (then "name (2).ext", "name (3).ext", ...). The path is recorded in used.
QString unique_path(const QString& folder, const QString& name, QSet<QString>* used);
