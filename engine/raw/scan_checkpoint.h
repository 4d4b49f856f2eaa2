#pragma once
// The checkpoint of a running deep scan: what it has found and how far it has read, kept in
// the user's state folder ($XDG_STATE_HOME/OrvaneRecovery/deep-scans/) so that a scan ended
// by a crash, a kill or a stop can go on where it was instead of starting again. One file
// per volume; bound to the volume by its size and a digest of its first and last 64 KiB, and
// to what the scan found by a digest of each found file's first 4 KiB, which a continue
// compares with the volume's bytes (a volume changed in its middle is not continued).
//
// The file is read back as hostile data: its length and every count are checked before
// anything is used.

#include "engine/raw/raw_recovery.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

struct scan_checkpoint_s {
    QString device_path;
    QByteArray identity;          // volume_identity() of the scanned volume
    std::uint64_t resume_at = 0;  // every file that begins before this byte is in records
    std::uint64_t join_work = 0;  // the joint searches' work before resume_at (sig_format.h)
    std::vector<signature_record> records;
    struct piece_s {
        std::uint64_t position = 0;  // in records
        std::uint64_t first_size = 0;
        std::uint64_t second_offset = 0;
    };
    std::vector<piece_s> pieces;
    std::vector<std::uint8_t> levels;  // verified_e by position in records
    std::vector<std::uint64_t> heads;  // head_digest by position in records
};

// Where the checkpoint of a scan of device_path is kept.
QString checkpoint_path(const QString& device_path);
// The volume's size and a digest of its first and last 64 KiB, read through the signature
// library; empty when the volume cannot be read.
QByteArray volume_identity(const QString& device_path);
// Written whole or not at all. False on failure.
bool write_checkpoint(const QString& path, const scan_checkpoint_s& checkpoint);
// False, with nothing set, when the file is missing or not a valid checkpoint (also one of an
// older build, which kept no digests of the found files).
bool read_checkpoint(const QString& path, scan_checkpoint_s* checkpoint);
// Whether every found file of the checkpoint still begins with the bytes it had when it was
// found (its pieces put together; a file whose digest was not recorded, 0, is not read);
// false when the volume cannot be read. A checkpoint whose
// files differ must not be continued: "the volume changed since the scan stopped".
bool checkpoint_files_unchanged(const scan_checkpoint_s& checkpoint);
