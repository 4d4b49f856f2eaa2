#include "cp936.h"

#include <array>
#include <cstring>
#include <memory>
#include <mutex>

#include <iconv.h>

namespace {

constexpr int lead_first = 0x81;
constexpr int lead_count = 0xFE - lead_first + 1;
constexpr int trail_first = 0x40;
constexpr int trail_count = 0xFE - trail_first + 1;  // 0x7F is kept but never valid

// Unicode for every single byte 0x80-0xFF and every lead/trail pair; '?' where the code
// page has no character. About 48 KiB, built once.
struct cp936_table_s {
    std::array<char16_t, 128> high_bytes{};
    std::array<char16_t, lead_count * trail_count> pairs{};
};

// Converts one code of 1 or 2 bytes with iconv; '?' when iconv rejects it or it does not
// come out as exactly one UTF-16 unit.
char16_t convert_one(iconv_t cd, const unsigned char* bytes, std::size_t length) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    char input[2];
    std::memcpy(input, bytes, length);
    char* in = input;
    std::size_t in_left = length;
    unsigned char output[8];
    char* out = reinterpret_cast<char*>(output);
    std::size_t out_left = sizeof(output);
    if (iconv(cd, &in, &in_left, &out, &out_left) == static_cast<std::size_t>(-1) || in_left != 0) {
        return u'?';
    }
    if (sizeof(output) - out_left != 2) {
        return u'?';
    }
    auto unit = static_cast<char16_t>(output[0] | (output[1] << 8));
    // A surrogate cannot stand alone in a name.
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        return u'?';
    }
    return unit;
}

std::unique_ptr<cp936_table_s> build_table() {
    auto table = std::make_unique<cp936_table_s>();
    table->high_bytes.fill(u'?');
    table->pairs.fill(u'?');
    iconv_t cd = iconv_open("UTF-16LE", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return table;  // no converter installed: every non-ASCII code reads as '?'
    }
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        unsigned char code[1] = {static_cast<unsigned char>(byte)};
        table->high_bytes[static_cast<std::size_t>(byte - 0x80)] = convert_one(cd, code, 1);
    }
    for (int lead = 0; lead < lead_count; ++lead) {
        for (int trail = 0; trail < trail_count; ++trail) {
            int trail_byte = trail_first + trail;
            if (trail_byte == 0x7F) {
                continue;
            }
            unsigned char code[2] = {static_cast<unsigned char>(lead_first + lead),
                                     static_cast<unsigned char>(trail_byte)};
            table->pairs[static_cast<std::size_t>(lead * trail_count + trail)] =
                convert_one(cd, code, 2);
        }
    }
    iconv_close(cd);
    return table;
}

const cp936_table_s& table() {
    static std::once_flag built;
    static std::unique_ptr<cp936_table_s> instance;
    std::call_once(built, [] { instance = build_table(); });
    return *instance;
}

}  // namespace

bool cp936_is_lead_byte(std::uint8_t byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

bool cp936_is_trail_byte(std::uint8_t byte) {
    return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFE);
}

char16_t cp936_decode(std::uint16_t code) {
    if (code < 0x80) {
        return static_cast<char16_t>(code);
    }
    if (code <= 0xFF) {
        return table().high_bytes[code - 0x80];
    }
    auto lead = static_cast<std::uint8_t>(code >> 8);
    auto trail = static_cast<std::uint8_t>(code & 0xFF);
    if (!cp936_is_lead_byte(lead) || !cp936_is_trail_byte(trail)) {
        return u'?';
    }
    return table()
        .pairs[static_cast<std::size_t>((lead - lead_first) * trail_count + (trail - trail_first))];
}
