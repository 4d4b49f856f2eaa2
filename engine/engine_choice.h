#pragma once
// Which engine scans a volume.

#include "device/volume_list.h"

enum engine_kind_e : int {
    engine_none = -1,
    engine_fat = 0,
    engine_ntfs = 1,
    engine_signature = 2,
    engine_exfat = 3,
    engine_ext4 = 4,
};

// A deep scan takes the signature engine; otherwise "NTFS" exactly takes the NTFS engine,
// "exFAT" the exFAT engine, "ext2", "ext3" or "ext4" the ext4 engine and a name beginning
// with "FAT" the FAT engine; anything else is refused (engine_none).
engine_kind_e choose_engine(const volume_item_s& target, bool deep_scan);
