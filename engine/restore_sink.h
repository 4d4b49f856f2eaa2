#pragma once
// Where an engine writes the bytes of one restored file.
//
// The restore writer (engine/restore_writer.h) opens the destination file itself, safely,
// and hands the engine a sink; the engine never opens a path of its own. An engine's
// recovery_base_c::restore_into appends the file's bytes in order, from its first byte to
// its last, and returns 0 only when it appended the whole file. When write or zeros returns
// false (the destination failed, or the user asked to stop), the engine returns non-zero at
// once; the writer then removes what was written. Used on the thread that restores; one
// sink serves one file.

#include <cstddef>
#include <cstdint>

class restore_sink_c {
  public:
    virtual ~restore_sink_c() = default;
    // Appends bytes. False: stop restoring this file.
    virtual bool write(const void* data, std::size_t bytes) = 0;
    // Appends a run of zero bytes (a sparse run, the tail past the initialised size) without
    // writing them one by one: the file may be far larger than the disk holding it.
    virtual bool zeros(std::uint64_t bytes) = 0;
    // The user asked to stop: an engine that reads for long without writing checks it.
    virtual bool stop_requested() const = 0;
    // Bytes appended so far.
    virtual std::uint64_t written() const = 0;
};
