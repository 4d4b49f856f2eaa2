#pragma once
// Builds FAT volumes in memory for the engine and reader tests: mkfs.fat makes the volume,
// then the test writes directory entries and FAT entries by hand to shape exactly the case
// it needs (huge directories, loops, entries pointing past the FAT).

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

class fat_image_c {
  public:
    // mkfs.fat on a temporary file of size_kib with the given extra arguments; empty on failure.
    static std::unique_ptr<fat_image_c> make(int size_kib, const QStringList& mkfs_arguments,
                                             QString* error);

    // A FAT16 volume of folders whose cluster chains loop on themselves, each holding deleted
    // entries: every folder reads 65536 entries before its index wraps, so a scan of a small
    // image runs long enough to be paused, stopped or interrupted.
    static std::unique_ptr<fat_image_c> looping_folders(int folders, QString* error);

    QByteArray& bytes() { return bytes_; }
    std::shared_ptr<const QByteArray> shared() const {
        return std::make_shared<const QByteArray>(bytes_);
    }

    int fat_bits() const { return fat_bits_; }
    std::uint32_t cluster_bytes() const { return sectors_per_cluster_ * 512; }
    std::uint64_t cluster_offset(std::uint32_t cluster) const;
    std::uint64_t root_offset() const;  // FAT12/16 root directory
    std::uint32_t root_entries() const { return root_entries_; }
    std::uint32_t clusters() const { return clusters_; }

    void set_fat(std::uint32_t cluster, std::uint32_t value);
    // Writes a 32-byte short entry at a byte offset. name11 is the 8+3 name with spaces.
    void put_entry(std::uint64_t offset, const char* name11, std::uint8_t attributes,
                   std::uint32_t first_cluster, std::uint32_t size, bool deleted = false);

  private:
    QByteArray bytes_;
    int fat_bits_ = 0;
    std::uint32_t sectors_per_cluster_ = 0;
    std::uint32_t reserved_ = 0;
    std::uint32_t fat_count_ = 0;
    std::uint32_t fat_sectors_ = 0;
    std::uint32_t root_entries_ = 0;
    std::uint32_t clusters_ = 0;
};
