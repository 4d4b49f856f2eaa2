#include "sig_verify.h"

#include "engine/raw/sig_config.h"
#include "engine/raw/sig_format.h"
#include "engine/raw/sig_pieces.h"
#include "engine/raw/sig_volume.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>
#include <vector>

namespace sig {
namespace {

bool names_type(const char* types, const std::string& type) {
    for (const QByteArray& t : QByteArray(types).split(' ')) {
        if (t.toStdString() == type) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool verify_record(const char* device_path, std::uint64_t offset, std::uint64_t size,
                   const std::string& type, std::string* why, std::uint64_t first_size,
                   std::uint64_t second_offset) {
    volume_s volume;
    if (!open_volume(device_path, &volume)) {
        *why = "the volume cannot be read";
        return false;
    }
    return verify_record(volume, offset, size, type, why, first_size, second_offset);
}

bool verify_record(const volume_s& volume, std::uint64_t offset, std::uint64_t size,
                   const std::string& type, std::string* why, std::uint64_t first_size,
                   std::uint64_t second_offset) {
    if (offset > volume.size || size > volume.size - offset || size == 0) {
        *why = "it does not lie inside the volume";
        return false;
    }
    const auto defaults = default_rules();
    const auto configured = current_rules();
    const auto limit_of = [&](const std::string& name) {
        const auto known = defaults.find(name);
        const auto set = configured.find(name);
        return std::max(known == defaults.end() ? 0 : known->second.limit,
                        set == configured.end() ? 0 : set->second.limit);
    };
    if (limit_of(type) == 0) {
        *why = "its type is not one the scan finds";
        return false;
    }
    const bool two = first_size != 0;
    if (two && (first_size >= size || second_offset < offset + first_size ||
                second_offset > volume.size || size - first_size > volume.size - second_offset)) {
        *why = "its second piece does not lie after its first inside the volume";
        return false;
    }
    // Small first reads: most found files are small, and a restore checks each one.
    volume_view_c plain(volume, {}, {}, 4 << 10);
    // A two-piece file is read as its pieces joined: the bytes from the end of the first
    // piece on come from the second.
    spliced_view_c joined(plain, offset + first_size,
                          two ? second_offset - offset - first_size : 0);
    byte_view_c& view = two ? static_cast<byte_view_c&>(joined) : plain;
    const std::uint64_t view_size = view.size();
    const std::uint8_t* first = view.at(offset, std::min<std::uint64_t>(512, view_size - offset));
    if (!first) {
        *why = "its first sector cannot be read";
        return false;
    }
    const std::uint64_t head = std::min<std::uint64_t>(512, view_size - offset);
    bool magic_seen = false;
    for (const format_s& f : formats()) {
        if (!names_type(f.types, type) ||
            static_cast<std::uint64_t>(f.magic_offset) + f.magic_length > head ||
            std::memcmp(first + f.magic_offset, f.magic, f.magic_length) != 0) {
            continue;
        }
        magic_seen = true;
        std::uint64_t bound = 0;
        for (const QByteArray& t : QByteArray(f.types).split(' ')) {
            bound = std::max(bound, limit_of(t.toStdString()));
        }
        window_c w(view, offset, std::min(bound, view_size - offset));
        found_s found;
        if (!has_check(f)) {
            found = f.measure(w);
        } else if (const soundness_s checked = check_file(f, w); checked.sound) {
            found = {checked.size, checked.type};
        }
        if (found.size != 0 && found.type && type == found.type && size <= found.size) {
            return true;
        }
        // The measure moved the cache: the first sector is read again for the next format.
        first = view.at(offset, static_cast<std::size_t>(head));
        if (!first) {
            break;
        }
    }
    *why = magic_seen ? "its bytes are not a whole " + type + " file of that size"
                      : "its bytes do not begin a " + type + " file";
    return false;
}

}  // namespace sig
