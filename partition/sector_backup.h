#pragma once
// The backup a repair saves before it writes: the sectors it replaces, with the hash of
// what it wrote over each range, so that an undo can tell whether the drive still holds
// the repair's sectors. Several ranges fit one file (a GUID table's first and last
// sectors); a plain 512-byte file, as earlier versions saved it, reads as sector 0.
//
// File format (text header, then the old sectors' bytes in range order):
//     ORVANE-SECTOR-BACKUP 1
//     drive /dev/sdb
//     sectors 1953525168
//     sector_bytes 512
//     medium serial:WD-WCC4N1234567      (when known)
//     range 0 1 <sha-256 of the bytes written over the range, 64 hex digits>
//     check <sha-256 of the header above this line and of the data, 64 hex digits>
//     data
//     <sector_bytes x count bytes per range>
//
// Saved in the user's state folder; file and folder are synced before the drive is
// written. Used by the repair and its undo on the caller's thread.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

struct backup_range_s {
    std::uint64_t lba = 0;
    QByteArray old_bytes;     // what the drive held: sector_bytes x sectors bytes
    QByteArray written_hash;  // SHA-256 of what was written over it; empty: unknown
};

struct sector_backup_s {
    QString drive;                     // the drive's name when it was saved
    std::uint64_t drive_sectors = 0;   // its size in sectors of sector_bytes; 0: unknown
    std::uint32_t sector_bytes = 512;  // the drive's logical sector size (512 or 4096)
    // What tells the medium from another of the same size (platform::drive_medium): a
    // disk's serial, an image's or loop device's backing file; empty: unknown.
    QString medium;
    QList<backup_range_s> ranges;
    bool plain = false;  // a bare 512-byte sector 0 from an earlier version
};

// A new file in the state folder named after the drive and the time
// ("sectors-sdb-20261207-103512.bin"), written and synced with its folder. Returns its
// path, or empty with *error set.
QString save_sector_backup(const sector_backup_s& backup, QString* error);

// Reads a backup; false with *error set when it is not one (or too large, or damaged).
bool load_sector_backup(const QString& path, sector_backup_s* backup, QString* error);

// The file's bytes, and back (for tests and the fuzzer).
QByteArray encode_sector_backup(const sector_backup_s& backup);
bool decode_sector_backup(const QByteArray& bytes, sector_backup_s* backup, QString* error);
