#pragma once
// A stand-in file for probing the disk inside a container with libblkid, which reads only
// through a descriptor.
//
// The disk is not copied whole (it may be hundreds of gigabytes): a sparse memory file of
// the disk's size receives the parts that partition tables and file-system signatures live
// in (the first and last MiB of the disk and of each partition, the GPT entry arrays, the
// chain of extended boot records, the start of the NTFS master file table and the FAT or
// exFAT root folder); everything else reads as zeros. Every position comes from the disk
// and is bounded by its size.

#include "platform_device.h"

#include <cstdint>
#include <vector>

namespace platform {

// The byte ranges copied so far; filled in rounds as the tables are read.
class probe_copy_c {
  public:
    explicit probe_copy_c(device_source_c& source);
    ~probe_copy_c();
    probe_copy_c(const probe_copy_c&) = delete;
    probe_copy_c& operator=(const probe_copy_c&) = delete;

    // The disk's start and end, the GPT entry arrays and the extended boot records. False
    // when the memory file cannot be made or the disk's first sector cannot be read.
    bool copy_tables();
    // The parts of one volume that its signature and label are read from.
    void copy_volume(std::uint64_t offset, std::uint64_t size);
    // The memory file, owned by this object; -1 before copy_tables.
    int fd() const { return fd_; }

  private:
    void copy(std::uint64_t offset, std::uint64_t len);
    bool read_copied(std::uint64_t offset, void* buffer, std::size_t len);
    void copy_gpt_entries(std::uint64_t header_offset);
    void copy_ebr_chain(std::uint64_t extended_start);

    device_source_c& source_;
    std::uint64_t size_ = 0;
    int fd_ = -1;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> done_;  // copied ranges
};

}  // namespace platform
