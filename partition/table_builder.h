#pragma once
// The sectors a repair writes for the partitions the search found: a GPT restored from
// the surviving backup, a new GPT, or a new master boot record (with an extended entry
// over a surviving chain of extended boot records).
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
    QList<partition_item_s> left_out;   // found, but not in the new table (and why)
    QString error;                      // why there is nothing to write
};

// Plans the table for a drive of `drive_sectors`. `sector0` is the drive's sector 0 as
// read (its disk signature is kept in a master boot record); `heads` and
// `sectors_per_track` give the CHS fields (0: 255 and 63).
table_plan_s plan_table(const disk_layout_s& layout, const QList<partition_item_s>& found,
                        std::uint64_t drive_sectors, const QByteArray& sector0, std::uint32_t heads,
                        std::uint32_t sectors_per_track);

// A new GPT's entry array (128 entries of 128 bytes) for the found partitions that fit
// the standard usable range, in start order, with type GUIDs by file system, new random
// partition GUIDs and the file-system name as the partition name. The others go to
// *left_out.
QByteArray new_gpt_array(const QList<partition_item_s>& found, std::uint64_t drive_sectors,
                         QList<partition_item_s>* described, QList<partition_item_s>* left_out);
