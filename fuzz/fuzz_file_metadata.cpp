// The metadata readers over arbitrary bytes: the first byte picks the type, the rest is the
// found file. A reader must never read outside the file nor crash on what it hands the
// libraries (libexif, TagLib, zlib, Qt's XML reader). The seeds are the deep-scan fixture's
// files, whose names start with their type (build/fuzz/corpus/sig_formats); a seed's first
// byte then picks some type, which is as good a start as any.
#include "engine/raw/file_metadata.h"

#include <cstring>

namespace {

class input_view_c final : public sig::byte_view_c {
  public:
    input_view_c(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override {
        if (n > sig::view_max_span || pos > size_ || n > size_ - pos) {
            return nullptr;
        }
        return data_ + pos;
    }
    std::uint64_t size() const override { return size_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

const char* const types[] = {"jpg", "tif", "png", "pdf", "docx", "odt", "epub", "svg", "html",
                             "mp4", "mov", "m4a", "mp3", "flac", "ogg", "opus", "orf", "cr3"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const char* type = types[data[0] % (sizeof types / sizeof *types)];
    input_view_c view(data + 1, size - 1);
    sig::window_c window(view, 0, size - 1);
    const file_meta_s meta = read_file_meta(type, window);
    (void)clean_file_stem(meta.title);
    return 0;
}
