#include "engine_choice.h"

engine_kind_e choose_engine(const volume_item_s& target, bool deep_scan) {
    if (deep_scan) {
        return engine_signature;
    }
    if (target.file_system == QLatin1String("NTFS")) {
        return engine_ntfs;
    }
    if (target.file_system == QLatin1String("exFAT")) {
        return engine_exfat;
    }
    if (target.file_system == QLatin1String("ext4") ||
        target.file_system == QLatin1String("ext3") ||
        target.file_system == QLatin1String("ext2")) {
        return engine_ext4;
    }
    if (target.file_system.left(3) == QLatin1String("FAT")) {
        return engine_fat;
    }
    return engine_none;
}
