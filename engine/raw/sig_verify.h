#pragma once
// The check of one record before its bytes are copied out: a record loaded from a scan
// file names an offset, a size and a type, and the file may be hand-made. Its bytes must
// begin a file of that type as the scan finds one (the format's magic where it belongs,
// then its measure, and its soundness check where it has one), at least as long as the
// record says. Reads the volume only; used on the restoring thread.

#include <cstdint>
#include <string>

namespace sig {

// True when [offset, offset + size) of the volume device_path names holds a file of type;
// false with *why (a phrase) otherwise. A file found in two pieces gives the length of its
// first piece and where the second begins: it is checked as the two pieces joined.
bool verify_record(const char* device_path, std::uint64_t offset, std::uint64_t size,
                   const std::string& type, std::string* why, std::uint64_t first_size = 0,
                   std::uint64_t second_offset = 0);
// The same check on a volume the caller keeps open (a restore of many records opens it once).
struct volume_s;
bool verify_record(const volume_s& volume, std::uint64_t offset, std::uint64_t size,
                   const std::string& type, std::string* why, std::uint64_t first_size = 0,
                   std::uint64_t second_offset = 0);

}  // namespace sig
