// The table of known formats.
#include "sig_format.h"

namespace sig {

namespace {

constexpr std::uint64_t MiB = 1024ull * 1024;
constexpr std::uint64_t GiB = 1024 * MiB;

}  // namespace

const std::vector<format_s>& formats() {
    // name, magic, magic length, magic offset, default limit, measure, reported types
    static const std::vector<format_s> table = {
        {"jpg", {0xFF, 0xD8, 0xFF}, 3, 0, 256 * MiB, measure_jpg, "jpg"},
        {"png", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 8, 0, 256 * MiB, measure_png, "png"},
        {"gif", {'G', 'I', 'F', '8'}, 4, 0, 64 * MiB, measure_gif, "gif"},
        {"bmp", {'B', 'M'}, 2, 0, 512 * MiB, measure_bmp, "bmp"},
        {"tif", {'I', 'I', 42, 0}, 4, 0, 1 * GiB, measure_tif, "tif"},
        {"tif", {'M', 'M', 0, 42}, 4, 0, 1 * GiB, measure_tif, "tif"},
        {"psd", {'8', 'B', 'P', 'S'}, 4, 0, 2 * GiB, measure_psd, "psd"},
        {"ico", {0, 0, 1, 0}, 4, 0, 16 * MiB, measure_ico, "ico"},
        {"ico", {0, 0, 2, 0}, 4, 0, 16 * MiB, measure_ico, "cur"},
        {"jp2", {0, 0, 0, 0x0C, 'j', 'P', ' ', ' '}, 8, 0, 1 * GiB, measure_jp2, "jp2"},
        {"riff", {'R', 'I', 'F', 'F'}, 4, 0, 4 * GiB, measure_riff, "wav avi webp"},
        {"pdf", {'%', 'P', 'D', 'F', '-'}, 5, 0, 1 * GiB, measure_pdf, "pdf"},
        {"zip",
         {'P', 'K', 3, 4},
         4,
         0,
         4 * GiB,
         measure_zip,
         "zip docx xlsx pptx odt ods odp epub jar apk"},
        {"tar", {'u', 's', 't', 'a', 'r'}, 5, 257, 64 * GiB, measure_tar, "tar"},
        {"cab", {'M', 'S', 'C', 'F', 0, 0, 0, 0}, 8, 0, 4 * GiB, measure_cab, "cab"},
        {"rar", {'R', 'a', 'r', '!', 0x1A, 0x07}, 6, 0, 4 * GiB, measure_rar, "rar"},
        {"7z", {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C}, 6, 0, 16 * GiB, measure_7z, "7z"},
        {"gz", {0x1F, 0x8B, 0x08}, 3, 0, 4 * GiB, measure_gz, "gz"},
        {"bz2", {'B', 'Z', 'h'}, 3, 0, 4 * GiB, measure_bz2, "bz2"},
        {"xz", {0xFD, '7', 'z', 'X', 'Z', 0x00}, 6, 0, 4 * GiB, measure_xz, "xz"},
        {"mp3", {'I', 'D', '3'}, 3, 0, 256 * MiB, measure_mp3, "mp3"},
        {"mp3", {0xFF, 0xFB}, 2, 0, 256 * MiB, measure_mp3, "mp3"},
        {"mp3", {0xFF, 0xFA}, 2, 0, 256 * MiB, measure_mp3, "mp3"},
        {"mp3", {0xFF, 0xF3}, 2, 0, 256 * MiB, measure_mp3, "mp3"},
        {"mp3", {0xFF, 0xF2}, 2, 0, 256 * MiB, measure_mp3, "mp3"},
        {"mp3", {0xFF, 0xE3}, 2, 0, 256 * MiB, measure_mp3, "mp3"},
        {"mp3", {0xFF, 0xE2}, 2, 0, 256 * MiB, measure_mp3, "mp3"},
        {"mp4", {'f', 't', 'y', 'p'}, 4, 4, 64 * GiB, measure_mp4, "mp4 mov m4a 3gp heic avif"},
        {"mp4", {'m', 'o', 'o', 'v'}, 4, 4, 64 * GiB, measure_mp4, "mov"},
        {"mp4", {'w', 'i', 'd', 'e'}, 4, 4, 64 * GiB, measure_mp4, "mov"},
        {"mp4", {'m', 'd', 'a', 't'}, 4, 4, 64 * GiB, measure_mp4, "mov"},
        {"asf",
         {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11},
         8,
         0,
         64 * GiB,
         measure_asf,
         "wmv wma"},
        {"mpg", {0, 0, 1, 0xBA}, 4, 0, 64 * GiB, measure_mpg, "mpg"},
        {"aiff", {'F', 'O', 'R', 'M'}, 4, 0, 4 * GiB, measure_aiff, "aiff"},
        {"flv", {'F', 'L', 'V', 1}, 4, 0, 16 * GiB, measure_flv, "flv"},
        {"mkv", {0x1A, 0x45, 0xDF, 0xA3}, 4, 0, 64 * GiB, measure_mkv, "mkv webm"},
        {"flac", {'f', 'L', 'a', 'C'}, 4, 0, 2 * GiB, measure_flac, "flac"},
        {"ogg", {'O', 'g', 'g', 'S'}, 4, 0, 2 * GiB, measure_ogg, "ogg opus ogv"},
        {"sqlite",
         {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f'},
         8,
         0,
         16 * GiB,
         measure_sqlite,
         "sqlite"},
        {"exe", {'M', 'Z'}, 2, 0, 1 * GiB, measure_exe, "exe dll"},
        {"elf", {0x7F, 'E', 'L', 'F'}, 4, 0, 1 * GiB, measure_elf, "elf"},
        {"ttf", {0, 1, 0, 0}, 4, 0, 64 * MiB, measure_font, "ttf"},
        {"ttf", {'t', 'r', 'u', 'e'}, 4, 0, 64 * MiB, measure_font, "ttf"},
        {"otf", {'O', 'T', 'T', 'O'}, 4, 0, 64 * MiB, measure_font, "otf"},
    };
    return table;
}

}  // namespace sig
