#pragma once
// The free space of volumes that are not mounted, read from the volume itself: FAT12/16/32
// from the FAT32 FSInfo sector when it is valid, else by counting the free FAT entries;
// NTFS by counting the clear bits of $Bitmap; exFAT by counting the clear bits of its
// allocation bitmap. Everything is read-only.
//
// The readers run on any thread; the desktop program runs them in volume_free_space_c after
// start-up and after each refresh, the orvane tool before it prints the volumes.

#include "device/volume_list.h"

#include <QList>
#include <QThread>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Reads len bytes at a byte offset from the start of the volume; 0 on success, -1 on any
// error or short read.
using volume_reader_f = std::function<int(std::uint64_t offset, void* buffer, std::size_t len)>;

// Free bytes of a FAT or NTFS volume of volume_bytes bytes; false when the volume's
// structures are not sound enough to tell.
bool fat_free_bytes(const volume_reader_f& read, std::uint64_t volume_bytes,
                    std::uint64_t* free_bytes);
bool ntfs_free_bytes(const volume_reader_f& read, std::uint64_t volume_bytes,
                     std::uint64_t* free_bytes);
bool exfat_free_bytes(const volume_reader_f& read, std::uint64_t volume_bytes,
                      std::uint64_t* free_bytes);

// Opens the volume by its name (volume_item_s::volume_name) read-only and reads its free
// space by its file-system name ("FAT12", "FAT16", "FAT32", "NTFS", "exFAT"); false for any other
// file system or when the volume cannot be read.
bool read_volume_free_bytes(const QString& volume_name, const QString& file_system,
                            std::uint64_t* free_bytes);

// Fills free_bytes of every record whose free space is unknown and can be read; returns
// how many were filled.
int fill_unknown_free_space(std::vector<volume_item_s>& volumes);

// Reads the free space of a copy of the volume list in its own thread. The GUI starts it,
// and after finished() hands the results to apply_to, which fills only the records of the
// same volume whose free space is still unknown (the list may have been rebuilt since).
class volume_free_space_c : public QThread {
    Q_OBJECT
  public:
    explicit volume_free_space_c(QObject* parent = nullptr);
    ~volume_free_space_c() override;

    // Refused (false) while the thread runs.
    bool set_volumes(const std::vector<volume_item_s>& volumes);
    // The number of records filled.
    int apply_to(std::vector<volume_item_s>& volumes) const;
    void request_stop() { stop_word.store(1, std::memory_order_relaxed); }

  protected:
    void run() override;

  private:
    struct found_s {
        QString volume_name;
        std::uint64_t free_bytes = 0;
    };
    std::vector<volume_item_s> volumes_;
    QList<found_s> found_;
    std::atomic<int> stop_word{0};
};
