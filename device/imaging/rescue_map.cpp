#include "rescue_map.h"

#include <QDateTime>
#include <QList>

#include <algorithm>
#include <utility>

namespace {

bool parse_number(const QByteArray& field, std::uint64_t* value) {
    bool ok = false;
    // ddrescue writes hex with 0x; decimal and octal are accepted as it reads them.
    if (field.startsWith("0x") || field.startsWith("0X")) {
        *value = field.mid(2).toULongLong(&ok, 16);
        return ok && field.size() > 2;
    }
    *value = field.toULongLong(&ok, 10);
    return ok;
}

QList<QByteArray> fields_of(const QByteArray& line) {
    QList<QByteArray> fields;
    for (const QByteArray& f : line.simplified().split(' ')) {
        if (!f.isEmpty()) {
            fields << f;
        }
    }
    return fields;
}

// "# Source ...: value" comment lines; false for any other line.
bool read_identity_line(const QByteArray& line, source_identity_s* id) {
    static const char prefix[] = "# Source";
    if (!line.startsWith(prefix)) {
        return false;
    }
    const qsizetype colon = line.indexOf(": ");
    if (colon < 0) {
        return false;
    }
    const QByteArray key = line.mid(sizeof prefix - 1, colon - (sizeof prefix - 1)).trimmed();
    const QByteArray value = line.mid(colon + 2).trimmed().left(4096);
    const auto hash = [](const QByteArray& v) {
        return v == "unreadable" ? QByteArray() : v.left(64);
    };
    bool ok = true;
    if (key.isEmpty()) {
        id->name = QString::fromUtf8(value);
    } else if (key == "size") {
        id->size = value.toULongLong(&ok);
    } else if (key == "sector size") {
        id->sector_size = value.toUInt(&ok);
    } else if (key == "serial") {
        id->serial = QString::fromUtf8(value);
    } else if (key == "first MiB") {
        id->first_hash = hash(value);
    } else if (key == "last MiB") {
        id->last_hash = hash(value);
    }
    return ok;
}

QByteArray one_line(const QString& text) {
    return text.toUtf8().replace('\n', ' ').replace('\r', ' ');
}

bool is_block_status(char c) {
    return c == '?' || c == '*' || c == '/' || c == '-' || c == '+';
}

}  // namespace

QString source_identity_s::conflict_with(const source_identity_s& recorded) const {
    if (!recorded.known()) {
        return QStringLiteral(
            "the map does not name its source (it was not written by this "
            "program's image copy), so it cannot be told to be this one's");
    }
    if (recorded.size != size || recorded.sector_size != sector_size) {
        return QStringLiteral(
                   "it was made for a source of %1 bytes in %2-byte sectors, this one "
                   "has %3 bytes in %4-byte sectors")
            .arg(recorded.size)
            .arg(recorded.sector_size)
            .arg(size)
            .arg(sector_size);
    }
    bool confirmed = false;
    if (!recorded.serial.isEmpty() && !serial.isEmpty()) {
        if (recorded.serial != serial) {
            return QStringLiteral("it was made for the disk with the serial '%1', this one is '%2'")
                .arg(recorded.serial, serial);
        }
        confirmed = true;
    }
    for (const auto& [was, is] :
         {std::pair{recorded.first_hash, first_hash}, std::pair{recorded.last_hash, last_hash}}) {
        if (!was.isEmpty() && !is.isEmpty()) {
            if (was != is) {
                return QStringLiteral(
                           "it was made for %1, whose first or last MiB holds other "
                           "bytes than this source's")
                    .arg(recorded.name);
            }
            confirmed = true;
        }
    }
    if (!confirmed && recorded.name != name) {
        return QStringLiteral("it was made for %1, not %2").arg(recorded.name, name);
    }
    return {};
}

void rescue_map_c::reset(std::uint64_t size) {
    size_ = size;
    current_pos = 0;
    blocks_.clear();
    if (size > 0) {
        blocks_.push_back({0, size, '?'});
    }
}

bool rescue_map_c::parse(const QByteArray& text, std::uint64_t size, QString* error) {
    std::vector<rescue_block_s> blocks;
    source_identity_s id;
    bool have_current = false;
    std::uint64_t current = 0;
    int number = 0;
    for (const QByteArray& raw : text.split('\n')) {
        ++number;
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#')) {
            if (!read_identity_line(line, &id) && line.startsWith("# Source")) {
                *error = QStringLiteral("line %1 of the map: the source is not named in numbers")
                             .arg(number);
                return false;
            }
            continue;
        }
        const QList<QByteArray> f = fields_of(line);
        const auto bad = [&](const char* why) {
            *error = QStringLiteral("line %1 of the map: %2").arg(number).arg(QLatin1String(why));
            return false;
        };
        if (!have_current) {
            // The status line: position, current status, and the pass in newer versions.
            if (f.size() < 2 || f.size() > 3 || !parse_number(f[0], &current) || f[1].size() != 1 ||
                !QByteArray("?*/-FG+").contains(f[1][0])) {
                return bad("not a position and a status");
            }
            bool pass_ok = true;
            const int pass = f.size() == 3 ? f[2].toInt(&pass_ok) : 1;
            if (!pass_ok || pass < 1 || pass > 9) {
                return bad("not a pass number");
            }
            current_pass = pass;
            have_current = true;
            continue;
        }
        rescue_block_s block;
        if (f.size() != 3 || !parse_number(f[0], &block.pos) || !parse_number(f[1], &block.size) ||
            f[2].size() != 1 || !is_block_status(f[2][0])) {
            return bad("not a position, a size and a status");
        }
        block.status = f[2][0];
        const std::uint64_t expected = blocks.empty() ? 0 : blocks.back().pos + blocks.back().size;
        if (block.pos != expected || block.size == 0 || block.size > size ||
            block.pos > size - block.size) {
            return bad("the blocks do not follow each other within the source");
        }
        if (blocks.size() >= max_blocks) {
            return bad("too many blocks");
        }
        if (!blocks.empty() && blocks.back().status == block.status) {
            blocks.back().size += block.size;
        } else {
            blocks.push_back(block);
        }
    }
    if (!have_current) {
        *error = QStringLiteral("the map holds no status line");
        return false;
    }
    const std::uint64_t covered = blocks.empty() ? 0 : blocks.back().pos + blocks.back().size;
    if (covered != size) {
        *error =
            QStringLiteral("the map covers %1 bytes, the source has %2").arg(covered).arg(size);
        return false;
    }
    blocks_ = std::move(blocks);
    identity = id;
    size_ = size;
    current_pos = std::min(current, size);
    return true;
}

QByteArray rescue_map_c::text(const QString& command_line, char current_status, int pass) const {
    QByteArray out;
    const QByteArray now =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toLatin1();
    out += "# Mapfile. Created by OrvaneRecovery (orvane image)\n";
    out += "# Command line: " + command_line.toUtf8().replace('\n', ' ') + '\n';
    out += "# Current time: " + now + '\n';
    if (current_status == '+') {
        out += "# Finished\n";
    }
    if (identity.known()) {
        const auto hash = [](const QByteArray& h) {
            return h.isEmpty() ? QByteArray("unreadable") : h;
        };
        out += "# Source: " + one_line(identity.name) + '\n';
        out += "# Source size: " + QByteArray::number(identity.size) + '\n';
        out += "# Source sector size: " + QByteArray::number(identity.sector_size) + '\n';
        if (!identity.serial.isEmpty()) {
            out += "# Source serial: " + one_line(identity.serial) + '\n';
        }
        out += "# Source first MiB: " + hash(identity.first_hash) + '\n';
        out += "# Source last MiB: " + hash(identity.last_hash) + '\n';
    }
    out += "# current_pos  current_status  current_pass\n";
    out += QString::asprintf("0x%08llX     %c               %d\n",
                             static_cast<unsigned long long>(current_pos), current_status, pass)
               .toLatin1();
    out += "#      pos        size  status\n";
    for (const rescue_block_s& b : blocks_) {
        out += QString::asprintf("0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(b.pos),
                                 static_cast<unsigned long long>(b.size), b.status)
                   .toLatin1();
    }
    return out;
}

void rescue_map_c::set(std::uint64_t pos, std::uint64_t size, char status) {
    if (pos >= size_ || size == 0) {
        return;
    }
    size = std::min(size, size_ - pos);
    const std::uint64_t end = pos + size;
    std::vector<rescue_block_s> out;
    out.reserve(blocks_.size() + 2);
    const auto append = [&out](rescue_block_s b) {
        if (b.size == 0) {
            return;
        }
        if (!out.empty() && out.back().status == b.status) {
            out.back().size += b.size;
        } else {
            out.push_back(b);
        }
    };
    // Blocks wholly before or after the change are kept; only the ones it meets split.
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), pos,
                               [](std::uint64_t p, const rescue_block_s& b) { return p < b.pos; });
    if (it != blocks_.begin()) {
        --it;
    }
    out.assign(blocks_.begin(), it);
    rescue_block_s tail;
    for (; it != blocks_.end() && it->pos < end; ++it) {
        const std::uint64_t b_end = it->pos + it->size;
        if (it->pos < pos) {
            append({it->pos, pos - it->pos, it->status});
        }
        if (b_end > end) {
            tail = {end, b_end - end, it->status};
        }
    }
    append({pos, size, status});
    append(tail);
    for (; it != blocks_.end(); ++it) {
        append(*it);
    }
    blocks_ = std::move(out);
}

std::uint64_t rescue_map_c::bytes(char status) const {
    std::uint64_t total = 0;
    for (const rescue_block_s& b : blocks_) {
        total += b.status == status ? b.size : 0;
    }
    return total;
}

int rescue_map_c::areas(char status) const {
    int n = 0;
    for (const rescue_block_s& b : blocks_) {
        n += b.status == status ? 1 : 0;
    }
    return n;
}

bool rescue_map_c::next(char status, std::uint64_t pos, rescue_block_s* block) const {
    auto it = std::upper_bound(blocks_.begin(), blocks_.end(), pos,
                               [](std::uint64_t p, const rescue_block_s& b) { return p < b.pos; });
    if (it != blocks_.begin()) {
        --it;
    }
    for (; it != blocks_.end(); ++it) {
        if (it->status == status && it->pos + it->size > pos) {
            *block = *it;
            if (block->pos < pos) {
                block->size -= pos - block->pos;
                block->pos = pos;
            }
            return true;
        }
    }
    return false;
}
