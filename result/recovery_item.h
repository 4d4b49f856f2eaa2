#pragma once
// One found file as the results side sees it: a row of the file table and one unit of
// restoration, whatever engine found it.
//
// A plain value. The table model hands a whole record to its delegate inside a QVariant, so
// the type is registered with Qt's meta-type system under its own name. Records are made on
// the user-interface thread (or the tool's main thread) from an engine's finished results;
// the restoration worker reads them in place.

#include <QMetaType>
#include <QString>
#include <QVariant>

#include <cstdint>

struct recovery_item_s {
    QString name;  // shown in the table; also the name the file is restored under
    // The name a restore writes when it differs from the one shown: an NTFS file's named
    // stream, shown "file:stream", is restored as "file_stream" (a colon is not a name
    // character on the FAT and NTFS disks restored files often go to).
    QString restore_name;
    std::uint64_t size = 0;       // bytes
    std::int64_t date1 = 0;       // seconds since 1970 UTC; 0 when the engine has none
    std::int64_t date2 = 0;       // a second time, same unit
    std::int64_t accessed = 0;    // the last access, same unit; 0 when the engine has none
    std::uint64_t file_key = 0;   // the engine's key for restore_file and get_file_path
    std::int32_t attributes = 0;  // the engine's attribute or flag word, unchanged
    bool checked = false;         // ticked by the user
    // The engine found signs that another file took the data since the deletion: what a
    // restore writes may not be the file's own bytes.
    bool overwritten = false;
    // A deep scan's file that the scan did not check whole (only its start and size): what
    // a restore writes after its first bytes may not be the file's own.
    bool unverified = false;

    bool operator==(const recovery_item_s&) const = default;
};
Q_DECLARE_METATYPE(recovery_item_s)

// The name a restore gives the file: restore_name, or name when that is empty.
inline const QString& restored_name(const recovery_item_s& item) {
    return item.restore_name.isEmpty() ? item.name : item.restore_name;
}

// Registers recovery_item_s under the name "recovery_item_s"; once, before the first model.
void register_result_meta_types();
// True when the variant holds a recovery_item_s (the delegate's test).
bool holds_recovery_item(const QVariant& value);
// The record in the variant, or a default record (empty name, all numbers zero).
recovery_item_s recovery_item_from(const QVariant& value);
