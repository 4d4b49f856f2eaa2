#pragma once
// A volume as the signature library reads it: a byte range of a drive, opened read-only
// through the device layer.

#include "device/platform/platform_device.h"
#include "engine/raw/sig_format.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace sig {

struct volume_s {
    std::unique_ptr<platform::device_source_c> source;
    std::uint64_t base = 0;  // byte offset of the volume on its drive
    std::uint64_t size = 0;  // bytes
    // Reads len bytes at pos within the volume; false past its end or on a read error.
    bool read(std::uint64_t pos, void* buffer, std::size_t len) const {
        if (pos > size || len > size - pos) {
            return false;
        }
        return source->read_at(base + pos, buffer, len) == 0;
    }
};

// Opens the volume a device path names: a volume of the drive list (as the volume list
// names it), or a whole drive (a disk image or device that holds no recognised volume).
bool open_volume(const char* device_path, volume_s* volume);

// The volume through a 1 MiB cache, for measures and checks that read mostly forward on a
// thread of their own. fill, when set, is asked first for the bytes of a cache fill (the
// scan's read-ahead buffers while they hold them); the volume is read when it cannot give
// them. stop, when set, ends every read (null) once it returns true. first_read: the bytes of
// the first fill from the volume; each further miss reads twice as many, up to the cache.
class volume_view_c final : public byte_view_c {
  public:
    using fill_fn = std::function<bool(std::uint64_t pos, std::uint8_t* to, std::size_t n)>;
    explicit volume_view_c(const volume_s& volume, fill_fn fill = {},
                           std::function<bool()> stop = {}, std::size_t first_read = cache_bytes)
        : volume_(volume),
          fill_(std::move(fill)),
          stop_(std::move(stop)),
          cache_(cache_bytes),
          next_read_(std::clamp<std::size_t>(first_read, 4096, cache_bytes)) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override {
        if (n > view_max_span || pos > volume_.size || n > volume_.size - pos ||
            (stop_ && stop_())) {
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
        if (!(fill_ && fill_(cache_pos_, cache_.data(), length_)) &&
            !volume_.read(cache_pos_, cache_.data(), length_)) {
            length_ = 0;
            return nullptr;
        }
        return cache_.data() + (pos - cache_pos_);
    }
    std::uint64_t size() const override { return volume_.size; }
    std::size_t contiguous(std::uint64_t pos) override {
        if (length_ > 0 && cache_pos_ <= pos && pos < cache_pos_ + length_) {
            return static_cast<std::size_t>(cache_pos_ + length_ - pos);
        }
        return view_max_span;
    }

  private:
    static constexpr std::size_t cache_bytes = 1 << 20;
    const volume_s& volume_;
    fill_fn fill_;
    std::function<bool()> stop_;
    std::vector<std::uint8_t> cache_;
    std::size_t next_read_;
    std::uint64_t cache_pos_ = 0;
    std::size_t length_ = 0;
};

}  // namespace sig
