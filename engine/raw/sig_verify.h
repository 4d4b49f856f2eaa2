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
// false with *why (a phrase) otherwise.
bool verify_record(const char* device_path, std::uint64_t offset, std::uint64_t size,
                   const std::string& type, std::string* why);

}  // namespace sig
