// Metadata of sound and video: the ISO media movie header (mvhd) and iTunes-style title
// (walked by hand, a few boxes deep), and the tags of MP3 (ID3v2), FLAC, Ogg Vorbis and
// Opus files through TagLib, handed a bounded copy of the file's head.
#include "file_metadata.h"

#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/vorbisfile.h>

#include <algorithm>
#include <cstring>

namespace meta {

namespace {

constexpr int box_limit = 4096;

struct box_s {
    std::uint64_t body = 0;  // first byte after the header
    std::uint64_t end = 0;   // first byte after the box
};

// The first child box of the given type in [pos, end); false when there is none.
bool find_box(sig::window_c& w, std::uint64_t pos, std::uint64_t end, const char* type,
              box_s* found) {
    for (int i = 0; i < box_limit && pos + 8 <= end; ++i) {
        const std::uint8_t* h = w.at(pos, 16);
        if (!h) {
            h = w.at(pos, 8);
        }
        if (!h) {
            return false;
        }
        std::uint64_t size = sig::be32(h);
        std::uint64_t header = 8;
        if (size == 1) {
            const std::uint8_t* large = w.at(pos + 8, 8);
            if (!large) {
                return false;
            }
            size = sig::be64(large);
            header = 16;
        } else if (size == 0) {
            size = end - pos;
        }
        if (size < header || size > end - pos) {
            return false;
        }
        if (std::memcmp(h + 4, type, 4) == 0) {
            *found = {pos + header, pos + size};
            return true;
        }
        pos += size;
    }
    return false;
}

}  // namespace

// mvhd's creation and modification times (UTC since 1904); the title from
// moov/udta/meta/ilst/(c)nam/data.
file_meta_s read_mp4(sig::window_c& w) {
    file_meta_s meta;
    box_s moov;
    if (!find_box(w, 0, w.bound(), "moov", &moov)) {
        return meta;
    }
    box_s mvhd;
    if (find_box(w, moov.body, moov.end, "mvhd", &mvhd)) {
        if (const std::uint8_t* p = w.at(mvhd.body, 20)) {
            if (p[0] == 1) {
                meta.created = mp4_date(sig::be64(p + 4));
                meta.modified = mp4_date(sig::be64(p + 12));
            } else {
                meta.created = mp4_date(sig::be32(p + 4));
                meta.modified = mp4_date(sig::be32(p + 8));
            }
        }
    }
    box_s udta, inner, ilst, name, data;
    if (find_box(w, moov.body, moov.end, "udta", &udta) &&
        find_box(w, udta.body, udta.end, "meta", &inner) &&
        find_box(w, inner.body + 4, inner.end, "ilst", &ilst) &&
        find_box(w, ilst.body, ilst.end, "\xA9nam", &name) &&
        find_box(w, name.body, name.end, "data", &data) && data.end - data.body > 8 &&
        data.end - data.body < 1024) {
        const QByteArray text = copy_bytes(w, data.body + 8, data.end - data.body - 8);
        meta.title = QString::fromUtf8(text).simplified();
    }
    return meta;
}

// "Artist - Title", or the title alone.
file_meta_s read_audio_tags(const QByteArray& type, sig::window_c& w) {
    constexpr std::size_t head_limit = 16 * 1024 * 1024;
    std::size_t head = 1024 * 1024;
    if (type == "mp3") {
        // The whole ID3v2 tag, which may hold pictures, up to the limit.
        const std::uint8_t* p = w.at(0, 10);
        if (!p || std::memcmp(p, "ID3", 3) != 0) {
            return {};
        }
        const std::size_t tag = 10 + (static_cast<std::size_t>(p[6] & 0x7F) << 21 |
                                      (p[7] & 0x7F) << 14 | (p[8] & 0x7F) << 7 | (p[9] & 0x7F));
        head = std::min(tag + 10, head_limit);
    }
    const QByteArray bytes = copy_bytes(w, 0, head);
    TagLib::ByteVectorStream stream(
        TagLib::ByteVector(bytes.constData(), static_cast<unsigned int>(bytes.size())));
    TagLib::String title;
    TagLib::String artist;
    auto take = [&](TagLib::File& file) {
        if (file.isValid() && file.tag()) {
            title = file.tag()->title();
            artist = file.tag()->artist();
        }
    };
    if (type == "mp3") {
        TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        take(file);
    } else if (type == "flac") {
        TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        take(file);
    } else if (type == "ogg") {
        TagLib::Ogg::Vorbis::File file(&stream, false);
        take(file);
    } else if (type == "opus") {
        TagLib::Ogg::Opus::File file(&stream, false);
        take(file);
    }
    file_meta_s meta;
    const QString t = QString::fromStdString(title.to8Bit(true)).simplified().left(200);
    const QString a = QString::fromStdString(artist.to8Bit(true)).simplified().left(100);
    if (!t.isEmpty()) {
        meta.title = a.isEmpty() ? t : a + QStringLiteral(" - ") + t;
    }
    return meta;
}

}  // namespace meta
