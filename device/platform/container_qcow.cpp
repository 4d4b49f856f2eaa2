// QCOW2 images through libqcow.
#include "container_libyal.h"

#include <QFile>

#include <libqcow.h>

namespace platform {
namespace {

struct qcow_calls {
    using handle_t = libqcow_file_t;
    using error_t = libqcow_error_t;
    static int close(handle_t* h) { return libqcow_file_close(h, nullptr); }
    static int release(handle_t** h) { return libqcow_file_free(h, nullptr); }
    static ssize_t read(handle_t* h, void* out, size_t len, off64_t at, error_t** e) {
        return libqcow_file_read_buffer_at_offset(h, out, len, at, e);
    }
    static int media_size(handle_t* h, size64_t* size, error_t** e) {
        return libqcow_file_get_media_size(h, size, e);
    }
    static int backtrace(error_t* e, char* text, size_t len) {
        return libqcow_error_backtrace_sprint(e, text, len);
    }
    static void free_error(error_t** e) { libqcow_error_free(e); }
};

class qcow_backend_c final : public libyal_backend_c<qcow_calls> {
  public:
    bool open(const QString& path, QString* error) {
        if (!layout_sound(path, error)) {
            return false;
        }
        const QByteArray native = QFile::encodeName(path);
        libqcow_error_t* failure = nullptr;
        bool ok = libqcow_file_initialize(&handle_, &failure) == 1 &&
                  libqcow_file_open(handle_, native.constData(), LIBQCOW_OPEN_READ, &failure) == 1;
        opened_ = ok;
        QString own;
        ok = ok && open_more(&failure, &own);
        return finish_open(ok, &failure, own, error);
    }

  private:
    bool open_more(libqcow_error_t** failure, QString* own);
    static bool layout_sound(const QString& path, QString* why);
};

std::uint64_t be64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v = v << 8 | p[i];
    }
    return v;
}

std::uint32_t be32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// The library trusts the cluster tables: a table or a data cluster that lies past the end
// of a file cut short makes it copy beyond its buffers. Every table and cluster the image
// names must lie inside the file, so that is checked here first, from the published layout
// (big-endian header: cluster_bits at 20, l1_size at 36, l1_table_offset at 40; table
// entries hold the host offset in bits 9-55, bit 63 "copied", bit 62 a compressed cluster,
// bit 0 of a data entry "reads as zeros"; the other bits are reserved and zero).
bool qcow_layout_sound(const QString& path, QString* why) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    const auto file_size = static_cast<std::uint64_t>(file.size());
    const QByteArray header = file.read(72);
    if (header.size() < 72) {
        *why = QStringLiteral("the header is cut short");
        return false;
    }
    const auto* h = reinterpret_cast<const unsigned char*>(header.constData());
    const std::uint32_t version = be32(h + 4);
    const std::uint32_t cluster_bits = be32(h + 20);
    if (version < 2 || version > 3 || cluster_bits < 9 || cluster_bits > 21) {
        return true;  // not a QCOW2 layout this check knows; the library decides
    }
    const std::uint64_t cluster = 1ULL << cluster_bits;
    const std::uint64_t l1_entries = be32(h + 36);
    const std::uint64_t l1_offset = be64(h + 40);
    const auto inside = [&](std::uint64_t offset, std::uint64_t len) {
        return offset <= file_size && len <= file_size - offset;
    };
    if (l1_entries > (1ULL << 25) || !inside(l1_offset, l1_entries * 8)) {
        *why = QStringLiteral(
            "the image is cut short or damaged: its first cluster table "
            "lies past the end of the file");
        return false;
    }
    const std::uint64_t offset_mask = 0x00fffffffffffe00ULL;
    const std::uint64_t copied_bit = 1ULL << 63;
    file.seek(static_cast<qint64>(l1_offset));
    const QByteArray l1 = file.read(static_cast<qint64>(l1_entries * 8));
    for (std::uint64_t i = 0; i < l1_entries; ++i) {
        const std::uint64_t l1_entry =
            be64(reinterpret_cast<const unsigned char*>(l1.constData()) + i * 8);
        const std::uint64_t l2_offset = l1_entry & offset_mask;
        // Bits the layout reserves are zero in a sound image.
        if ((l1_entry & ~(offset_mask | copied_bit)) != 0) {
            *why = QStringLiteral("the image is damaged: a cluster table entry is not valid");
            return false;
        }
        if (l2_offset == 0) {
            continue;
        }
        if (l2_offset % cluster != 0 || !inside(l2_offset, cluster)) {
            *why = QStringLiteral(
                "the image is cut short or damaged: a cluster table lies "
                "past the end of the file");
            return false;
        }
        file.seek(static_cast<qint64>(l2_offset));
        const QByteArray l2 = file.read(static_cast<qint64>(cluster));
        for (std::uint64_t j = 0; j < cluster / 8; ++j) {
            const std::uint64_t entry =
                be64(reinterpret_cast<const unsigned char*>(l2.constData()) + j * 8);
            if (entry & (1ULL << 62)) {
                // compressed: the host offset is in the low 62 - (cluster_bits - 8) bits
                const std::uint64_t host = entry & ((1ULL << (62 - (cluster_bits - 8))) - 1);
                if (host >= file_size) {
                    *why = QStringLiteral(
                        "the image is cut short or damaged: a compressed "
                        "cluster lies past the end of the file");
                    return false;
                }
                continue;
            }
            const std::uint64_t host = entry & offset_mask;
            if ((entry & ~(offset_mask | copied_bit | 1)) != 0) {
                *why = QStringLiteral("the image is damaged: a cluster entry is not valid");
                return false;
            }
            if (host != 0 && (host % cluster != 0 || !inside(host, cluster))) {
                *why = QStringLiteral(
                    "the image is cut short or damaged: a data cluster lies "
                    "past the end of the file");
                return false;
            }
        }
    }
    return true;
}

bool qcow_backend_c::layout_sound(const QString& path, QString* why) {
    return qcow_layout_sound(path, why);
}

bool qcow_backend_c::open_more(libqcow_error_t** failure, QString* own) {
    uint32_t method = 0;
    if (libqcow_file_get_encryption_method(handle_, &method, failure) != 1) {
        return false;
    }
    size_t backing = 0;
    if (libqcow_file_get_utf8_backing_filename_size(handle_, &backing, failure) == -1) {
        return false;
    }
    if (method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
        *own = QStringLiteral("the image is encrypted");
        return false;
    }
    if (backing > 1) {
        *own = QStringLiteral(
            "it holds only the changes to a backing image; open the backing image instead");
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<container_backend_c> open_qcow_backend(const QString& path, QString* error) {
    return open_libyal_backend<qcow_backend_c>(path, error);
}

}  // namespace platform
