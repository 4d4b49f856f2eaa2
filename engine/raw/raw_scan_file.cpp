// The scan file: a 256-byte header with the device path, then the records, 32 bytes each,
// little-endian; a valid file is 256 + 32 x N bytes with N >= 1.
//
// A file written by this program ends in a trailer of two more 32-byte units that tie it to
// its volume: where the volume starts on its drive, its size, and a hash of its first 512
// bytes (the boot sector, which holds the file system's serial number). Each trailer unit
// has the index ~0 and a type name that begins with a NUL, so a reader of the plain layout
// takes them for records of a damaged file, beyond the table, and lists nothing of them.
// Files without the trailer (written before it existed, or by another program) still load.
//
// The same trick keeps what the plain layout cannot hold, where older readers skip it:
// - A file found in two pieces is a record whose index has bit 62 set (beyond any table,
//   so an older reader lists nothing of it rather than the first piece and the gap), and
//   right after it a unit of index ~0 and type "\0ORVPCS1" with the first piece's length
//   (offset field) and where the second piece lies (size field).
// - How far the scan vouched for each file (verified_e), one byte per record in table order,
//   sixteen to a unit of index ~0 and type "\0ORVLVL1" (in the offset and size fields), after
//   the records and before the volume's two units (left out when no record has a mark). A
//   file without them loads with every record "unknown": not verified.
// - What each file says about itself (its title and dates, from its metadata), so that a
//   loaded scan lists, names and filters its files without reading the volume: after the
//   marks, a unit "\0ORVMET0" (offset field: the number of records) says that every
//   record's metadata follows; then for each record that has any, in table order, a unit
//   "\0ORVMTA1" (its position, the title's UTF-8 length, at most 255 bytes), a unit
//   "\0ORVMTD1" (created, modified: seconds since 1970) and the title in units "\0ORVTTL1",
//   16 bytes each, NUL-padded. A file without "\0ORVMET0" (older, or written before the
//   metadata was read) loads without it, and the metadata is read from the volume.
#include "raw_recovery.h"

#include "device/platform/platform_device.h"
#include "device/platform/safe_file.h"
#include "engine/raw/sig_config.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace {

constexpr qint64 header_bytes = 256;
constexpr qint64 record_bytes = 32;
constexpr std::uint64_t trailer_index = ~std::uint64_t{0};
constexpr char trailer_type_1[8] = {0, 'O', 'R', 'V', 'V', 'O', 'L', '1'};
constexpr char trailer_type_2[8] = {0, 'O', 'R', 'V', 'V', 'O', 'L', '2'};
constexpr char pieces_type[8] = {0, 'O', 'R', 'V', 'P', 'C', 'S', '1'};
constexpr char levels_type[8] = {0, 'O', 'R', 'V', 'L', 'V', 'L', '1'};
constexpr char meta_mark_type[8] = {0, 'O', 'R', 'V', 'M', 'E', 'T', '0'};
constexpr char meta_type[8] = {0, 'O', 'R', 'V', 'M', 'T', 'A', '1'};
constexpr char dates_type[8] = {0, 'O', 'R', 'V', 'M', 'T', 'D', '1'};
constexpr char title_type[8] = {0, 'O', 'R', 'V', 'T', 'T', 'L', '1'};
constexpr qsizetype max_title_bytes = 255;
constexpr std::uint64_t joined_flag = std::uint64_t{1} << 62;
constexpr qint64 read_chunk_records = 32768;  // 1 MiB of records per read

void put64(char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<char>(value >> (8 * i));
    }
}

std::uint64_t get64(const char* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint8_t>(in[i]);
    }
    return value;
}

void put_record(char* out, const signature_record& r) {
    put64(out, r.index);
    put64(out + 8, r.offset);
    put64(out + 16, r.size);
    std::memcpy(out + 24, r.type, 8);
}

signature_record unit(const char (&type)[8], std::uint64_t offset, std::uint64_t size) {
    signature_record u;
    u.index = trailer_index;
    u.offset = offset;
    u.size = size;
    std::memcpy(u.type, type, 8);
    return u;
}

bool is_unit(const signature_record& r, const char (&type)[8]) {
    return r.index == trailer_index && std::memcmp(r.type, type, 8) == 0;
}

// A title as the scan file keeps it: UTF-8, at most max_title_bytes, cut before a character
// that does not fit whole.
QByteArray stored_title(const QString& title) {
    QByteArray bytes = title.toUtf8();
    if (bytes.size() > max_title_bytes) {
        qsizetype cut = max_title_bytes;
        while (cut > 0 && (static_cast<std::uint8_t>(bytes[cut]) & 0xC0) == 0x80) {
            --cut;  // bytes[cut] continues a character: cut before the character's start
        }
        bytes.truncate(cut);
    }
    return bytes;
}

// The metadata units of a loaded file: (position, metadata) in ascending position, each
// position below count; units out of order, of a position beyond the table or whose title
// units are missing are skipped. *marked: the file says it carries every record's.
std::vector<std::pair<std::uint64_t, file_meta_s>> read_meta_units(
    const std::vector<signature_record>& records, std::size_t count, bool* marked) {
    std::vector<std::pair<std::uint64_t, file_meta_s>> found;
    *marked = false;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const signature_record& r = records[i];
        if (is_unit(r, meta_mark_type)) {
            *marked = r.offset == count;
            continue;
        }
        if (!is_unit(r, meta_type) || r.size > static_cast<std::uint64_t>(max_title_bytes) ||
            r.offset >= count || (!found.empty() && r.offset <= found.back().first)) {
            continue;
        }
        const auto length = static_cast<std::size_t>(r.size);
        const std::size_t title_units = (length + 15) / 16;
        if (i + 1 + title_units >= records.size() || !is_unit(records[i + 1], dates_type)) {
            continue;
        }
        QByteArray title;
        bool whole = true;
        for (std::size_t t = 0; t < title_units; ++t) {
            const signature_record& part = records[i + 2 + t];
            if (!is_unit(part, title_type)) {
                whole = false;
                break;
            }
            char bytes[16];
            put64(bytes, part.offset);
            put64(bytes + 8, part.size);
            title.append(bytes, 16);
        }
        if (!whole) {
            continue;
        }
        title.truncate(static_cast<qsizetype>(length));
        title.truncate(static_cast<qsizetype>(strnlen(title.constData(), length)));
        file_meta_s meta;
        meta.created = meta::sane_date(static_cast<std::int64_t>(records[i + 1].offset));
        meta.modified = meta::sane_date(static_cast<std::int64_t>(records[i + 1].size));
        meta.title = QString::fromUtf8(title);
        i += 1 + title_units;
        if (!meta.empty()) {
            found.emplace_back(r.offset, std::move(meta));
        }
    }
    return found;
}

// The trailer's two units, when the last two records are one.
bool read_trailer(const std::vector<signature_record>& records, scan_volume_id_s* id) {
    if (records.size() < 3) {
        return false;  // a trailer follows at least one real record
    }
    const signature_record& a = records[records.size() - 2];
    const signature_record& b = records[records.size() - 1];
    if (a.index != trailer_index || b.index != trailer_index ||
        std::memcmp(a.type, trailer_type_1, 8) != 0 ||
        std::memcmp(b.type, trailer_type_2, 8) != 0) {
        return false;
    }
    id->start = a.offset;
    id->size = a.size;
    char hash[16];
    put64(hash, b.offset);
    put64(hash + 8, b.size);
    id->hash = QByteArray(hash, 16);
    return true;
}

// The largest size a type may have: its limit by default or as configured, whichever is
// larger; 0 for a type the signature library does not know.
std::uint64_t type_limit(const QByteArray& type,
                         const std::map<std::string, sig::type_rule_s>& defaults,
                         const std::map<std::string, sig::type_rule_s>& configured) {
    const std::string name = type.toStdString();
    const auto known = defaults.find(name);
    if (type.isEmpty() || known == defaults.end()) {
        return 0;
    }
    const auto set = configured.find(name);
    return std::max(known->second.limit, set == configured.end() ? 0 : set->second.limit);
}

}  // namespace

bool scan_volume_identity(const volume_item_s& volume, scan_volume_id_s* id) {
    QString name = volume.volume_name;
    if (name.endsWith(QLatin1Char('\\'))) {
        name.chop(1);
    }
    if (name.isEmpty()) {
        return false;
    }
    scan_volume_id_s made;
    platform::volume_where_s where;
    if (platform::locate_volume(name, &where)) {
        made.start = where.start_sector * 512;
        made.size = where.byte_size;
    } else {
        made.size = volume.total_bytes;
    }
    const intptr_t handle = sig_open(name.toLocal8Bit().constData());
    if (handle == 0) {
        return false;
    }
    char first[512] = {};
    const bool read =
        sig_seek(handle, 0, 0, 0) == 0 && sig_read(handle, first, sizeof first) == sizeof first;
    sig_close(handle);
    if (!read || made.size == 0) {
        return false;
    }
    made.hash =
        QCryptographicHash::hash(QByteArrayView(first, sizeof first), QCryptographicHash::Sha256)
            .left(16);
    *id = made;
    return true;
}

int raw_recovery_c::write_scan_file(const QString& path) {
    if (records_.empty()) {
        return -1;
    }
    scan_volume_id_s id;
    const bool bound = scan_volume_identity(target_, &id) && id.hash.size() == 16;
    // The marks, when the records have any (a loaded file of the plain layout has none).
    const bool marked = std::any_of(levels_.begin(), levels_.end(),
                                    [](std::uint8_t level) { return level != verified_unknown; });
    const qint64 level_units = marked ? (static_cast<qint64>(records_.size()) + 15) / 16 : 0;
    // What the files say about themselves, when it is known for every record.
    std::vector<signature_record> meta_units;
    if (metadata_known()) {
        meta_units.push_back(unit(meta_mark_type, records_.size(), 0));
        for (std::size_t position = 0; position < records_.size(); ++position) {
            const file_meta_s* m = meta(position);
            if (!m) {
                continue;
            }
            const QByteArray title = stored_title(m->title);
            meta_units.push_back(
                unit(meta_type, position, static_cast<std::uint64_t>(title.size())));
            meta_units.push_back(unit(dates_type, static_cast<std::uint64_t>(m->created),
                                      static_cast<std::uint64_t>(m->modified)));
            for (qsizetype at = 0; at < title.size(); at += 16) {
                char bytes[16] = {};
                std::memcpy(bytes, title.constData() + at,
                            static_cast<std::size_t>(std::min<qsizetype>(16, title.size() - at)));
                meta_units.push_back(unit(title_type, get64(bytes), get64(bytes + 8)));
            }
        }
    }
    const qint64 units = static_cast<qint64>(records_.size()) + second_pieces_.size() +
                         level_units + static_cast<qint64>(meta_units.size()) + (bound ? 2 : 0);
    QByteArray data(header_bytes + record_bytes * units, '\0');
    const QByteArray device = device_path_.toLocal8Bit().left(header_bytes - 1);
    std::memcpy(data.data(), device.constData(), static_cast<std::size_t>(device.size()));
    char* out = data.data() + header_bytes;
    for (std::size_t position = 0; position < records_.size(); ++position) {
        signature_record r = records_[position];
        r.index = position;  // records are read back by position
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        const bool two = second_piece(position, &first, &second);
        if (two) {
            r.index |= joined_flag;
        }
        put_record(out, r);
        out += record_bytes;
        if (two) {
            signature_record piece;
            piece.index = trailer_index;
            piece.offset = first;
            piece.size = second;
            std::memcpy(piece.type, pieces_type, 8);
            put_record(out, piece);
            out += record_bytes;
        }
    }
    for (qint64 unit = 0; unit < level_units; ++unit) {
        char levels[16] = {};
        for (std::size_t i = 0; i < 16; ++i) {
            levels[i] = static_cast<char>(verified(static_cast<std::uint64_t>(unit) * 16 + i));
        }
        signature_record l;
        l.index = trailer_index;
        l.offset = get64(levels);
        l.size = get64(levels + 8);
        std::memcpy(l.type, levels_type, 8);
        put_record(out, l);
        out += record_bytes;
    }
    for (const signature_record& m : meta_units) {
        put_record(out, m);
        out += record_bytes;
    }
    if (bound) {
        signature_record a;
        a.index = trailer_index;
        a.offset = id.start;
        a.size = id.size;
        std::memcpy(a.type, trailer_type_1, 8);
        signature_record b;
        b.index = trailer_index;
        b.offset = get64(id.hash.constData());
        b.size = get64(id.hash.constData() + 8);
        std::memcpy(b.type, trailer_type_2, 8);
        put_record(out, a);
        put_record(out + record_bytes, b);
    }
    // Written whole or not at all: an old scan file of that name survives a failed write.
    std::string why;
    if (!platform::replace_file_at(QFile::encodeName(path).toStdString(), false, data.constData(),
                                   static_cast<std::size_t>(data.size()), &why)) {
        return -1;
    }
    return 0;
}

QString raw_recovery_c::read_scan_file(const QString& path) {
    if (isRunning()) {
        return {};  // the running scan appends to the table a load would replace
    }
    // A regular file only: a device or a pipe has no length to trust.
    if (!QFileInfo(path).isFile()) {
        return {};
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const qint64 length = file.size();
    if (length < header_bytes + record_bytes || (length - header_bytes) % record_bytes != 0) {
        return {};
    }
    const QByteArray header = file.read(header_bytes);
    if (header.size() != header_bytes) {
        return {};
    }
    // The header's text up to its first NUL, in the encoding write_scan_file used.
    const QString device = QString::fromLocal8Bit(
        header.constData(), static_cast<qsizetype>(strnlen(header.constData(), header_bytes)));
    // As many records as the file's length holds, read a chunk at a time and by position:
    // nothing is allocated beyond what the file holds.
    const auto count = static_cast<std::size_t>((length - header_bytes) / record_bytes);
    std::vector<signature_record> records(count);
    QByteArray chunk;
    for (std::size_t done = 0; done < count;) {
        const qint64 take = std::min<qint64>(read_chunk_records, static_cast<qint64>(count - done));
        chunk = file.read(take * record_bytes);
        if (chunk.size() != take * record_bytes) {
            return {};  // the file shrank while it was read
        }
        const char* in = chunk.constData();
        for (qint64 i = 0; i < take; ++i, in += record_bytes) {
            signature_record& r = records[done + static_cast<std::size_t>(i)];
            r.index = get64(in);
            r.offset = get64(in + 8);
            r.size = get64(in + 16);
            std::memcpy(r.type, in + 24, 8);
        }
        done += static_cast<std::size_t>(take);
    }
    scan_volume_id_s id;
    const bool bound = read_trailer(records, &id);
    if (bound) {
        records.resize(records.size() - 2);
    }
    // The units this program adds: two-piece files and the levels.
    std::vector<signature_record> table;
    QHash<std::uint64_t, second_piece_s> pieces;
    std::vector<std::uint8_t> levels;
    table.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        signature_record r = records[i];
        if (r.index == trailer_index && std::memcmp(r.type, levels_type, 8) == 0) {
            char bytes[16];
            put64(bytes, r.offset);
            put64(bytes + 8, r.size);
            levels.insert(levels.end(), bytes, bytes + 16);
            continue;
        }
        if (r.index == trailer_index && std::memcmp(r.type, pieces_type, 8) == 0) {
            continue;  // one that follows no two-piece record: nothing to attach it to
        }
        if (is_unit(r, meta_mark_type) || is_unit(r, meta_type) || is_unit(r, dates_type) ||
            is_unit(r, title_type)) {
            continue;  // read below, once the table's length is known
        }
        if (r.index != trailer_index && (r.index & joined_flag)) {
            // A two-piece file: its pieces must lie as a file's pieces can, else it is kept
            // only to be refused (never restored as one run of bytes).
            r.index &= ~joined_flag;
            const signature_record* p = i + 1 < records.size() ? &records[i + 1] : nullptr;
            if (p && p->index == trailer_index && std::memcmp(p->type, pieces_type, 8) == 0 &&
                p->offset > 0 && p->offset < r.size) {
                pieces.insert(table.size(), {p->offset, p->size});
                ++i;
            } else {
                r.index = trailer_index;
            }
        }
        table.push_back(r);
    }
    levels.resize(table.size(), verified_unknown);
    for (std::uint8_t& level : levels) {
        if (level > verified_joined) {
            level = verified_unknown;
        }
    }
    bool meta_marked = false;
    auto metas = read_meta_units(records, table.size(), &meta_marked);
    records.clear();
    records.shrink_to_fit();
    release_volume();
    device_path_ = device;
    meta_.clear();
    for (auto& [position, m] : metas) {
        meta_.pad_to(static_cast<std::size_t>(position));
        meta_.push_back(std::move(m));
    }
    meta_.pad_to(table.size());
    meta_complete_ = meta_marked;
    records_ = std::move(table);
    levels_ = std::move(levels);
    heads_.clear();
    second_pieces_ = std::move(pieces);
    file_identity_ = bound ? std::optional<scan_volume_id_s>(id) : std::nullopt;
    records_from_file_ = true;
    volume_bytes_ = 0;
    rebuild_type_index();
    return device;
}

// The listed records by type, each by its position in the table. Left out, and counted as
// refused: a record whose index lies beyond the table (a damaged file), whose type the
// signature library does not know, whose size exceeds its type's limit, or which does not
// lie whole inside the volume (when its size is known).
void raw_recovery_c::rebuild_type_index() {
    const auto defaults = sig::default_rules();
    const auto configured = sig::current_rules();
    QHash<QByteArray, QList<std::uint64_t>> index;
    refused_records_ = 0;
    // Records of one type mostly come in runs: the type's limit and list are looked up
    // again only when the type changes.
    char type_now[8] = {};
    bool have_type = false;
    std::uint64_t limit = 0;
    QList<std::uint64_t>* list = nullptr;
    for (std::size_t position = 0; position < records_.size(); ++position) {
        const signature_record& r = records_[position];
        if (!have_type || std::memcmp(type_now, r.type, sizeof type_now) != 0) {
            std::memcpy(type_now, r.type, sizeof type_now);
            have_type = true;
            limit = type_limit(record_type(r), defaults, configured);
            list = nullptr;
        }
        bool inside =
            volume_bytes_ == 0 || (r.offset <= volume_bytes_ && r.size <= volume_bytes_ - r.offset);
        std::uint64_t first = 0;
        std::uint64_t second = 0;
        if (inside && volume_bytes_ != 0 && second_piece(position, &first, &second)) {
            inside = second <= volume_bytes_ && r.size - first <= volume_bytes_ - second;
        }
        if (r.index >= records_.size() || limit == 0 || r.size > limit || !inside) {
            ++refused_records_;
            continue;
        }
        if (!list) {
            list = &index[record_type(r)];  // valid until the next insert into index
        }
        list->append(position);
    }
    type_index_ = std::move(index);
}

void raw_recovery_c::limit_to_volume(std::uint64_t volume_bytes) {
    volume_bytes_ = volume_bytes;
    rebuild_type_index();
}
