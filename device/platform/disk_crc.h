#pragma once
// The two CRC-32 variants that disk structures carry: the IEEE 802.3 one of GPT headers
// and entry arrays, and CRC-32C (Castagnoli) of ext4, XFS and btrfs superblocks.
// Both are the standard form: initial value ~0, reflected, final inversion.

#include <cstddef>
#include <cstdint>

// `previous` continues a CRC over more bytes (pass the result of the earlier call).
std::uint32_t crc32_ieee(const void* data, std::size_t len, std::uint32_t previous = 0);
std::uint32_t crc32c(const void* data, std::size_t len, std::uint32_t previous = 0);
