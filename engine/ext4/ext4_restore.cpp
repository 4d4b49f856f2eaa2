// Restoring what the ext4 engine found: the file's bytes from the blocks its inode copy
// names, holes and unwritten runs as zeros, written through a sink; and the paths of found
// entries.
#include "ext4_recovery.h"

#include "engine/node_tree.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::uint64_t chunk_bytes = 1 << 20;

}  // namespace

int ext4_recovery_c::write_file(std::uint64_t file_key, const ext4_sink_f& sink,
                                const ext4_zeros_f& zeros) {
    error_text_.clear();
    last_restore_overwritten_ = false;
    const auto found = node_table_.constFind(file_key);
    if (found == node_table_.constEnd() || (found->attributes & ext4_attr_directory)) {
        error_text_ = QStringLiteral("no such file in the scan");
        return -1;
    }
    const ext4_node& node = found.value();
    if (!node.restorable) {
        error_text_ = QStringLiteral(
            "the journal holds no older copy of its inode, so where its data lay is not "
            "known; a deep scan may find the data by its content");
        return -1;
    }
    if (!volume_.is_open()) {
        error_text_ = QStringLiteral("the volume is not open; scan it again");
        return -1;
    }
    last_restore_overwritten_ = node.overwritten != 0;
    if (!node.inline_bytes.empty() || node.size == 0) {
        if (!node.inline_bytes.empty() &&
            !sink(reinterpret_cast<const char*>(node.inline_bytes.data()),
                  node.inline_bytes.size())) {
            error_text_ = QStringLiteral("writing the restored file failed");
            return -1;
        }
        return 0;
    }
    const std::uint64_t block = volume_.block_bytes();
    std::uint64_t written = 0;
    const std::vector<char> zero_block(65536, 0);
    const auto put_zeros = [&](std::uint64_t length) {
        if (zeros) {
            if (!zeros(length)) {
                return false;
            }
            written += length;
            return true;
        }
        while (length > 0) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(zero_block.size(), length));
            if (!sink(zero_block.data(), n)) {
                return false;
            }
            written += n;
            length -= n;
        }
        return true;
    };
    std::vector<std::uint8_t> buffer;
    const auto per_chunk =
        static_cast<std::uint32_t>(std::max<std::uint64_t>(1, chunk_bytes / block));
    for (const ext4::extent_s& e : node.extents) {
        const std::uint64_t start = e.logical * block;
        if (start >= node.size) {
            break;
        }
        if (start < written) {
            continue;  // overlapping runs of a damaged map: the first one counts
        }
        if (start > written && !put_zeros(start - written)) {
            error_text_ = QStringLiteral("writing the restored file failed");
            return -1;
        }
        for (std::uint32_t i = 0; i < e.count && written < node.size; i += per_chunk) {
            const std::uint32_t n = std::min(per_chunk, e.count - i);
            const std::uint64_t take = std::min<std::uint64_t>(n * block, node.size - written);
            if (e.unwritten) {
                if (!put_zeros(take)) {
                    error_text_ = QStringLiteral("writing the restored file failed");
                    return -1;
                }
                continue;
            }
            buffer.resize(static_cast<std::size_t>(n * block));
            if (!volume_.read_blocks(e.physical + i, n, buffer.data())) {
                error_text_ =
                    QStringLiteral("reading the volume failed after %1 bytes").arg(written);
                return -1;
            }
            if (!sink(reinterpret_cast<const char*>(buffer.data()),
                      static_cast<std::size_t>(take))) {
                error_text_ = QStringLiteral("writing the restored file failed");
                return -1;
            }
            written += take;
        }
    }
    // A hole at the end of a sparse file.
    if (written < node.size && !put_zeros(node.size - written)) {
        error_text_ = QStringLiteral("writing the restored file failed");
        return -1;
    }
    return 0;
}

int ext4_recovery_c::restore_into(std::uint64_t file_key, restore_sink_c* sink) {
    return write_file(
        file_key,
        [sink](const char* data, std::size_t length) {
            return !sink->stop_requested() && sink->write(data, length);
        },
        [sink](std::uint64_t length) { return sink->zeros(length); });
}

int ext4_recovery_c::get_file_path(std::uint64_t file_key, QString* path) {
    return node_tree_path(node_table_, file_key, target_.path, path);
}
