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

// The volume through a small cache: the measures read mostly forward. The first read is
// small (most found files are, and a restore checks each), each further miss reads twice as
// much, up to the whole cache.
class record_view_c final : public byte_view_c {
  public:
    explicit record_view_c(const volume_s& volume) : volume_(volume), cache_(cache_bytes) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override {
        if (n > view_max_span || pos > volume_.size || n > volume_.size - pos) {
            return nullptr;
        }
        if (length_ > 0 && cache_pos_ <= pos && pos - cache_pos_ + n <= length_) {
            return cache_.data() + (pos - cache_pos_);
        }
        cache_pos_ = pos & ~static_cast<std::uint64_t>(4095);
        const std::size_t wanted = std::min(
            cache_bytes, std::max(next_read_, static_cast<std::size_t>(
                                                  (pos - cache_pos_ + n + 4095) / 4096 * 4096)));
        next_read_ = std::min(cache_bytes, wanted * 2);
        length_ =
            static_cast<std::size_t>(std::min<std::uint64_t>(wanted, volume_.size - cache_pos_));
        if (!volume_.read(cache_pos_, cache_.data(), length_)) {
            length_ = 0;
            return nullptr;
        }
        return cache_.data() + (pos - cache_pos_);
    }
    std::uint64_t size() const override { return volume_.size; }

  private:
    static constexpr std::size_t cache_bytes = 1 << 20;
    std::size_t next_read_ = 4 << 10;
    const volume_s& volume_;
    std::vector<std::uint8_t> cache_;
    std::uint64_t cache_pos_ = 0;
    std::size_t length_ = 0;
};

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
    record_view_c plain(volume);
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
