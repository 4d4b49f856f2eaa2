#pragma once
// The sectors a repair writes for the partitions the search found. A repair changes only
// what is broken: every entry of the table on the drive that holds stays as it is, and
// the partitions found outside those entries are added to it. A GPT is written back from
// the copy that survives (or built new when neither does); a master boot record keeps its
// boot code, disk signature and entries (our own boot loader goes only into a record
// without code); a protective or hybrid record in front of a GPT is not touched.
//
// Pure functions over what the search learnt (disk_layout.h); the repair writes the
// result, after saving every sector it replaces.

#include "disk_layout.h"
#include "gpt_table.h"
#include "partition_item.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

struct table_plan_s {
    QString scheme;                     // "gpt" or "mbr"
    bool restored = false;              // a surviving GPT written back as it was
    QList<table_write_s> writes;        // in ascending order; empty when nothing fits
    QList<partition_item_s> described;  // the partitions the new table holds
    QList<partition_item_s> kept;       // entries of the table on the drive that stay
    QList<partition_item_s> added;      // found partitions the repair adds
    QList<partition_item_s> removed;    // entries of the table on the drive that are dropped
    QList<partition_item_s> left_out;   // found, but not in the new table (and why)
    QString error;                      // why there is nothing to write
};

// Plans the table for a drive of `drive_sectors` logical sectors of layout.sector_bytes.
// `sector0` is the drive's whole sector 0 as read (its disk signature is kept in a
// master boot record); `heads` and
// `sectors_per_track` give the CHS fields (0: 255 and 63).
table_plan_s plan_table(const disk_layout_s& layout, const QList<partition_item_s>& found,
                        std::uint64_t drive_sectors, const QByteArray& sector0, std::uint32_t heads,
                        std::uint32_t sectors_per_track);

// Why the table on the drive needs no repair (it holds, and the search found nothing
// outside its entries), or empty when a repair may be offered.
QString repair_not_needed(const disk_layout_s& layout, const QList<partition_item_s>& found);

// A new GPT's entry array (128 entries of 128 bytes) for the found partitions that fit
// the standard usable range, in start order, with type GUIDs by file system, new random
// partition GUIDs and the file-system name as the partition name. The others go to
// *left_out.
QByteArray new_gpt_array(const QList<partition_item_s>& found, std::uint64_t drive_sectors,
                         QList<partition_item_s>* described, QList<partition_item_s>* left_out,
                         std::uint32_t sector_bytes = 512);
