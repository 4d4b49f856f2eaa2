#include "disk_crc.h"

#include <array>

namespace {

using crc_table_t = std::array<std::uint32_t, 256>;

constexpr crc_table_t make_table(std::uint32_t polynomial) {
    crc_table_t table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? polynomial ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

constexpr crc_table_t ieee_table = make_table(0xEDB88320u);
constexpr crc_table_t castagnoli_table = make_table(0x82F63B78u);

std::uint32_t run(const crc_table_t& table, const void* data, std::size_t len,
                  std::uint32_t previous) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t c = ~previous;
    for (std::size_t i = 0; i < len; ++i) {
        c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    }
    return ~c;
}

}  // namespace

std::uint32_t crc32_ieee(const void* data, std::size_t len, std::uint32_t previous) {
    return run(ieee_table, data, len, previous);
}

std::uint32_t crc32c(const void* data, std::size_t len, std::uint32_t previous) {
    return run(castagnoli_table, data, len, previous);
}
