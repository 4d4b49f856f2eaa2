// LZNT1, the compression of NTFS compressed files: each compression unit is stored as a row
// of chunks, each of which decompresses to at most 4096 bytes of the unit.
#include "ntfs_format.h"

#include <algorithm>
#include <cstring>

namespace ntfs {

bool lznt1_decompress(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                      std::size_t out_size) {
    constexpr std::size_t chunk_bytes = 4096;
    std::memset(out, 0, out_size);
    std::size_t ip = 0;
    std::size_t chunk_start = 0;  // where the chunk's bytes go in out
    while (ip + 2 <= in_size && chunk_start < out_size) {
        // Chunk header: bits 0-11 the stored length less 1 (after the header), bits 12-14
        // the signature 3, bit 15 set when the chunk is compressed. Zero ends the unit.
        const std::uint16_t header = le16(in + ip);
        if (header == 0) {
            break;
        }
        const std::size_t stored = (header & 0x0FFFu) + 1;
        if (((header >> 12) & 7) != 3 || stored > in_size - ip - 2) {
            return false;
        }
        const std::uint8_t* data = in + ip + 2;
        const std::size_t room = std::min(chunk_bytes, out_size - chunk_start);
        std::uint8_t* chunk = out + chunk_start;
        if (!(header & 0x8000u)) {
            if (stored > room) {
                return false;
            }
            std::memcpy(chunk, data, stored);
        } else {
            std::size_t p = 0;
            std::size_t o = 0;  // bytes of this chunk written
            while (p < stored) {
                const std::uint8_t flags = data[p++];
                for (int bit = 0; bit < 8 && p < stored; ++bit) {
                    if (!(flags & (1u << bit))) {
                        if (o >= room) {
                            return false;
                        }
                        chunk[o++] = data[p++];
                        continue;
                    }
                    if (stored - p < 2 || o == 0) {
                        return false;
                    }
                    const std::uint16_t token = le16(data + p);
                    p += 2;
                    // The further into the chunk, the more bits the displacement takes
                    // from the length: 4 bits up to 16 bytes in, 12 at the most.
                    unsigned length_bits = 12;
                    for (std::size_t i = o - 1; i >= 0x10; i >>= 1) {
                        --length_bits;
                    }
                    const std::size_t length = (token & ((1u << length_bits) - 1)) + 3;
                    const std::size_t back = (static_cast<std::size_t>(token) >> length_bits) + 1;
                    if (back > o || length > room - o) {
                        return false;
                    }
                    for (std::size_t n = 0; n < length; ++n, ++o) {
                        chunk[o] = chunk[o - back];  // copies may overlap themselves
                    }
                }
            }
        }
        ip += 2 + stored;
        chunk_start += chunk_bytes;
    }
    return true;
}

}  // namespace ntfs
