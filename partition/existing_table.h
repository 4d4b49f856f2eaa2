#pragma once
// The partition table that is on the drive now, read and checked before the search: a
// master boot record with its chain of extended boot records, a protective or hybrid
// record in front of a GPT, and both GPT copies. Each entry that passes the checks is
// matched with the file system found at its start (confirmed). The search lists these
// entries first, never writes over a confirmed one, and a repair keeps every entry that
// holds and changes only what is broken (table_builder.h).
//
// Pure functions over sectors read from the drive (hostile data: every count, offset and
// link is bounded). Used by the search thread, the tests and the fuzzer.

#include "fs_probe.h"
#include "gpt_table.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

enum class table_entry_kind_e { primary, extended, logical, gpt };

struct table_entry_s {
    table_entry_kind_e kind = table_entry_kind_e::primary;
    int slot = 0;             // master boot record entry 0-3; GPT array index; logical: nth
    std::int32_t type = 0;    // master boot record type code (0 for GPT entries)
    QString type_guid;        // GPT entries: the type GUID in text form
    std::uint64_t first = 0;  // absolute first and last sector
    std::uint64_t last = 0;
    std::uint64_t ebr_lba = 0;  // a logical partition: the sector of its extended boot record
    QByteArray record;          // ... and that whole sector as read
    bool active = false;        // status byte 0x80
    QString name;               // GPT entries: the entry's name, partition GUID, attributes
    QString unique_guid;
    std::uint64_t attributes = 0;
    QString fs_name;  // the file system found at `first`; empty when none
    std::uint64_t fs_sectors = 0;
    bool confirmed = false;  // a file system starts at `first`
};

struct existing_table_s {
    QString scheme;              // "mbr", "gpt", or empty when the drive holds no table
    bool mbr_signature = false;  // sector 0 ends in 0x55 0xAA
    bool mbr_code = false;    // sector 0 has the signature and bytes 0-439 not all zero (a loader)
    bool protective = false;  // sector 0 holds a type 0xEE entry and nothing else
    bool hybrid = false;      // sector 0 holds a type 0xEE entry beside others
    bool intact = false;      // every structure of the table passes its checks
    // The sector size a GPT on the drive counts: the one the drive is read in, or 4096
    // when a GPT header was found at byte 4096 and none at byte 512 although the drive was
    // read in 512-byte sectors (a disk that says so itself): that table was written for
    // another disk and is left alone.
    std::uint32_t gpt_sector_bytes = 512;
    QStringList problems;          // what is broken, one phrase each
    QStringList notes;             // what was seen beside a table that holds, one phrase each
    QList<table_entry_s> entries;  // the entries that hold, extended containers included
    QList<table_entry_s> refused;  // entries that do not (outside the drive, overlapping)

    // The entries that hold a partition (not an extended container).
    QList<table_entry_s> partitions() const;
    int confirmed_count() const;
};

// Most extended boot records followed in one chain.
constexpr int max_logical_partitions = 128;

// Reads sector 0 and the chain of extended boot records behind an extended entry; takes
// the GPT state that read_disk_layout found (both copies checked with their CRCs). Sector
// numbers count logical sectors of `sector_bytes`; `read` reads 512-byte units.
existing_table_s read_existing_table(const probe_read_f& read, std::uint64_t drive_sectors,
                                     bool primary_ok, bool backup_ok, const gpt_table_s& gpt,
                                     std::uint32_t sector_bytes = 512);

// True when [first, last] overlaps an entry of the table (an extended container too).
bool overlaps_table(const existing_table_s& table, std::uint64_t first, std::uint64_t last);

// The extended entry in whose free space [first, last] lies (behind its first sector,
// overlapping no other entry): a logical partition its chain lost, or never held. Null
// when there is none.
const table_entry_s* free_in_extended(const existing_table_s& table, std::uint64_t first,
                                      std::uint64_t last);

// "the partition table holds: 3 entries (3 confirmed)", or what is wrong with it.
QString describe_existing_table(const existing_table_s& table);
