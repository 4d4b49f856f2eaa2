// The probes of the Linux file systems: ext2/3/4, XFS, btrfs and swap.
#include "device/platform/disk_crc.h"
#include "disk_bytes.h"
#include "fs_probe.h"

#include <cstring>
#include <vector>

using namespace disk_bytes;
using namespace fs_probe_detail;

namespace {

int log2_exact(std::uint64_t v) {
    int n = 0;
    while (v > 1) {
        v >>= 1;
        ++n;
    }
    return n;
}

// ext feature bits that only ext4 sets, and the journal of ext3.
constexpr std::uint32_t ext_compat_journal = 0x4;
constexpr std::uint32_t ext_incompat_journal_dev = 0x8;
constexpr std::uint32_t ext_incompat_extents = 0x40;
constexpr std::uint32_t ext_incompat_64bit = 0x80;
constexpr std::uint32_t ext_incompat_flex_bg = 0x200;
constexpr std::uint32_t ext_ro_compat_ext4 = 0x8 | 0x10 | 0x20 | 0x40 | 0x400;
constexpr std::uint32_t ext_ro_compat_bigalloc = 0x200;
constexpr std::uint32_t ext_ro_compat_metadata_csum = 0x400;

}  // namespace

bool probe_ext(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
               const probe_read_f& read, fs_probe_s* hit) {
    if (le16(sector + 0x38) != 0xEF53 || lba + 2 > drive_sectors) {
        return false;
    }
    std::uint8_t sb[1024];
    if (read(lba, 2, sb) != 0) {
        return false;
    }
    const std::uint32_t inodes = le32(sb + 0x00);
    const std::uint32_t first_data_block = le32(sb + 0x14);
    const std::uint32_t log_block = le32(sb + 0x18);
    const std::uint32_t per_group = le32(sb + 0x20);
    const std::uint32_t inodes_per_group = le32(sb + 0x28);
    const std::uint32_t rev_level = le32(sb + 0x4C);
    const std::uint16_t inode_size = le16(sb + 0x58);
    const std::uint16_t group_nr = le16(sb + 0x5A);
    const std::uint32_t compat = le32(sb + 0x5C);
    const std::uint32_t incompat = le32(sb + 0x60);
    const std::uint32_t ro_compat = le32(sb + 0x64);
    if (log_block > 6 || rev_level > 1 || inodes == 0 || per_group == 0 || inodes_per_group == 0 ||
        (incompat & ext_incompat_journal_dev) != 0) {
        return false;
    }
    const std::uint64_t block_bytes = 1024ull << log_block;
    std::uint64_t blocks = le32(sb + 0x04);
    if (incompat & ext_incompat_64bit) {
        blocks |= std::uint64_t(le32(sb + 0x150)) << 32;
    }
    if (first_data_block != (block_bytes == 1024 ? 1u : 0u) || blocks <= first_data_block ||
        inodes_per_group > 8 * block_bytes ||
        ((ro_compat & ext_ro_compat_bigalloc) == 0 && per_group > 8 * block_bytes) ||
        (rev_level == 1 &&
         (inode_size < 128 || !is_power_of_two(inode_size) || inode_size > block_bytes))) {
        return false;
    }
    const std::uint64_t groups = (blocks - first_data_block + per_group - 1) / per_group;
    if (std::uint64_t(inodes) != groups * inodes_per_group || group_nr >= groups) {
        return false;
    }
    if (ro_compat & ext_ro_compat_metadata_csum) {
        // Stored as the CRC-32C register without its final inversion.
        if (sb[0x175] != 1 || le32(sb + 0x3FC) != ~crc32c(sb, 0x3FC)) {
            return false;
        }
    }
    // Group 0 keeps the superblock 1 KiB in; a backup sits at the start of its group's
    // first block.
    const std::uint64_t offset_bytes =
        group_nr == 0 ? 1024
                      : (std::uint64_t(group_nr) * per_group + first_data_block) * block_bytes;
    const std::uint64_t offset = offset_bytes / 512;
    if (offset > lba || blocks > UINT64_MAX / block_bytes) {
        return false;
    }
    const std::uint64_t start = lba - offset;
    const std::uint64_t sectors = blocks * (block_bytes / 512);
    if (!within_drive(start, sectors, drive_sectors)) {
        return false;
    }
    const bool ext4 =
        (incompat & (ext_incompat_extents | ext_incompat_64bit | ext_incompat_flex_bg)) != 0 ||
        (ro_compat & ext_ro_compat_ext4) != 0;
    fill_hit(ext4                            ? QStringLiteral("ext4")
             : (compat & ext_compat_journal) ? QStringLiteral("ext3")
                                             : QStringLiteral("ext2"),
             start, sectors, hit);
    return true;
}

bool probe_xfs(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
               const probe_read_f& read, fs_probe_s* hit) {
    if (std::memcmp(sector, "XFSB", 4) != 0) {
        return false;
    }
    const std::uint32_t block_bytes = be32(sector + 4);
    const std::uint64_t dblocks = be64(sector + 8);
    const std::uint32_t ag_blocks = be32(sector + 84);
    const std::uint32_t ag_count = be32(sector + 88);
    const std::uint16_t version = be16(sector + 100) & 0xF;
    const std::uint16_t sector_bytes = be16(sector + 102);
    const std::uint16_t inode_size = be16(sector + 104);
    if (block_bytes < 512 || block_bytes > 65536 || !is_power_of_two(block_bytes) ||
        sector_bytes < 512 || sector_bytes > 32768 || !is_power_of_two(sector_bytes) ||
        sector_bytes > block_bytes || inode_size < 256 || inode_size > 2048 ||
        !is_power_of_two(inode_size) || version < 4 || version > 5 ||
        sector[120] != log2_exact(block_bytes) || sector[121] != log2_exact(sector_bytes) ||
        ag_blocks < 16 || ag_count == 0 || dblocks == 0 ||
        dblocks > std::uint64_t(ag_count) * ag_blocks ||
        dblocks <= std::uint64_t(ag_count - 1) * ag_blocks) {
        return false;
    }
    const std::uint32_t sb_sectors = sector_bytes / 512;
    if (lba + sb_sectors + 1 > drive_sectors) {
        return false;
    }
    std::vector<std::uint8_t> sb(sector_bytes + 512);
    if (read(lba, sb_sectors + 1, sb.data()) != 0) {
        return false;
    }
    if (version == 5) {
        // CRC-32C of the superblock's sector with the CRC field (byte 224) taken as zero,
        // stored little-endian.
        std::uint8_t zero[4] = {};
        std::uint32_t crc = crc32c(sb.data(), 224);
        crc = crc32c(zero, 4, crc);
        crc = crc32c(sb.data() + 228, sector_bytes - 228, crc);
        if (le32(sb.data() + 224) != crc) {
            return false;
        }
    }
    // The free-space header behind it names the allocation group: a secondary superblock
    // of group k lies k groups after the start.
    const std::uint8_t* agf = sb.data() + sector_bytes;
    const std::uint32_t seqno = be32(agf + 8);
    if (std::memcmp(agf, "XAGF", 4) != 0 || seqno >= ag_count || be32(agf + 12) > ag_blocks) {
        return false;
    }
    const std::uint64_t group_sectors = std::uint64_t(ag_blocks) * (block_bytes / 512);
    const std::uint64_t offset = std::uint64_t(seqno) * group_sectors;
    if (offset > lba || dblocks > UINT64_MAX / block_bytes) {
        return false;
    }
    const std::uint64_t start = lba - offset;
    const std::uint64_t sectors = dblocks * (block_bytes / 512);
    if (!within_drive(start, sectors, drive_sectors)) {
        return false;
    }
    fill_hit(QStringLiteral("XFS"), start, sectors, hit);
    return true;
}

bool probe_btrfs(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                 const probe_read_f& read, fs_probe_s* hit) {
    if (std::memcmp(sector + 0x40, "_BHRfS_M", 8) != 0 || lba + 8 > drive_sectors) {
        return false;
    }
    std::uint8_t sb[4096];
    if (read(lba, 8, sb) != 0) {
        return false;
    }
    // Only the CRC-32C checksum (type 0, what mkfs.btrfs writes unless told otherwise) is
    // checked; a superblock with another checksum type is not taken.
    if (le16(sb + 0xC4) != 0 || le32(sb) != crc32c(sb + 0x20, sizeof sb - 0x20)) {
        return false;
    }
    const std::uint64_t bytenr = le64(sb + 0x30);
    const std::uint32_t sector_bytes = le32(sb + 0x90);
    const std::uint32_t node_bytes = le32(sb + 0x94);
    const std::uint64_t device_bytes = le64(sb + 0xC9 + 8);  // dev_item.total_bytes
    if ((bytenr != 65536 && bytenr != (64ull << 20) && bytenr != (256ull << 30)) ||
        sector_bytes < 4096 || sector_bytes > 65536 || !is_power_of_two(sector_bytes) ||
        node_bytes < sector_bytes || node_bytes > 65536 || !is_power_of_two(node_bytes) ||
        le64(sb + 0x88) == 0 || device_bytes <= bytenr + sizeof sb) {
        return false;
    }
    const std::uint64_t offset = bytenr / 512;
    if (offset > lba) {
        return false;
    }
    const std::uint64_t start = lba - offset;
    const std::uint64_t sectors = device_bytes / 512;
    if (!within_drive(start, sectors, drive_sectors)) {
        return false;
    }
    fill_hit(QStringLiteral("btrfs"), start, sectors, hit);
    return true;
}

bool probe_swap(const std::uint8_t* sector, std::uint64_t lba, std::uint64_t drive_sectors,
                const probe_read_f& read, fs_probe_s* hit) {
    // The magic ends the first 4 KiB page; the header is 1 KiB into it.
    if (std::memcmp(sector + 502, "SWAPSPACE2", 10) != 0 || lba < 7) {
        return false;
    }
    const std::uint64_t start = lba - 7;
    std::uint8_t page[4096];
    if (read(start, 8, page) != 0) {
        return false;
    }
    const std::uint32_t version = le32(page + 1024);
    const std::uint32_t last_page = le32(page + 1028);
    const std::uint32_t bad_pages = le32(page + 1032);
    if (version != 1 || last_page < 9 || bad_pages > 637) {
        return false;
    }
    for (std::uint32_t k = 0; k < bad_pages; ++k) {
        const std::uint32_t bad = le32(page + 1536 + 4 * k);
        if (bad == 0 || bad > last_page) {
            return false;
        }
    }
    const std::uint64_t sectors = (std::uint64_t(last_page) + 1) * 8;
    if (!within_drive(start, sectors, drive_sectors)) {
        return false;
    }
    fill_hit(QStringLiteral("swap"), start, sectors, hit);
    return true;
}
