#pragma once
/* The signature library: finds files on a volume by their content.
 *
 * A C interface of six calls. sig_load_config reads the list of enabled types and their
 * size limits; sig_scan reads a volume from its first byte to its last and reports each
 * found file through the callback in the scan block, on the calling thread, before it
 * returns. The device calls read a volume for restoring. Every device is opened read-only.
 *
 * The scan block is shared with the caller while sig_scan runs: the library writes
 * progress; the caller writes pause and stop from another thread. Each field has one
 * writer; the library reads and writes them as whole values. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Found-file callback: owner (block bytes 0-7), type name (NUL-terminated), start offset in
 * bytes from the start of the volume and size in bytes, each as two 32-bit halves, low half
 * first. */
typedef void (*sig_found_fn)(void* owner, const char* type, uint32_t offset_low,
                             uint32_t offset_high, uint32_t size_low, uint32_t size_high);

/* The 32-byte scan block, little-endian. On 64-bit builds the owner pointer fills bytes 0-7
 * and the callback bytes 24-31. */
typedef struct sig_scan_block {
    void* owner;        /* 0: handed back as the callback's first argument */
    double progress;    /* 8: fraction 0.0 to 1.0 of the volume searched */
    int32_t pause;      /* 16: non-zero: the library waits */
    int32_t stop;       /* 20: non-zero: the library ends the search */
    sig_found_fn found; /* 24: called once per found file */
} sig_scan_block;

/* Reads the configuration file (path in the local 8-bit encoding). A missing or unreadable
 * file leaves every known type enabled with its default limit. */
void sig_load_config(const char* path);
/* Searches the volume named by device_path; returns when the search has ended (the whole
 * volume read, stop set, or the volume could not be opened). */
void sig_scan(sig_scan_block* block, const char* device_path);

/* A file stored in two pieces: the first first_size bytes at offset, the rest at
 * second_offset; size is the whole file's. Called on the scanning thread, like found. */
typedef void (*sig_found_pieces_fn)(void* owner, const char* type, uint64_t offset,
                                    uint64_t first_size, uint64_t second_offset, uint64_t size);
/* sig_scan that also puts together files stored in two pieces and reports them through
 * found_pieces (sig_scan, or a null found_pieces, leaves them out). */
void sig_scan_pieces(sig_scan_block* block, const char* device_path,
                     sig_found_pieces_fn found_pieces);

/* sig_scan_pieces from byte start (a multiple of 512) on: the continuation of a scan that
 * has reported every file that begins before start. Progress still counts from byte 0. */
void sig_scan_resume(sig_scan_block* block, const char* device_path,
                     sig_found_pieces_fn found_pieces, uint64_t start);

/* Opens a volume for reading; 0 on failure. */
intptr_t sig_open(const char* device_path);
/* Moves to a byte offset (origin 0: from the start of the volume); the new position, or a
 * negative value when the offset lies outside the volume or the handle is not open. */
int64_t sig_seek(intptr_t handle, uint32_t offset_low, uint32_t offset_high, int origin);
/* Reads up to wanted bytes at the position; the number read (0 at the end of the volume),
 * negative on a read error. */
int32_t sig_read(intptr_t handle, void* buffer, int32_t wanted);
void sig_close(intptr_t handle);

#ifdef __cplusplus
}
#endif
