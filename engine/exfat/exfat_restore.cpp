// Restoring what the exFAT engine found: the file's bytes, located as the scan located
// them, written through a sink; and the paths of found entries.
#include "exfat_recovery.h"

#include "engine/node_tree.h"

#include <algorithm>
#include <vector>

namespace {

constexpr std::uint64_t chunk_bytes = 1 << 20;

}  // namespace

int exfat_recovery_c::write_file(std::uint64_t file_key, const exfat_sink_f& sink,
                                 const exfat_zeros_f& zeros) {
    error_text_.clear();
    last_restore_overwritten_ = false;
    const auto found = node_table_.constFind(file_key);
    if (found == node_table_.constEnd() || (found->attributes & exfat::attr_directory)) {
        error_text_ = QStringLiteral("no such file in the scan");
        return -1;
    }
    if (!volume_.is_open()) {
        error_text_ = QStringLiteral("the volume is not open; scan it again");
        return -1;
    }
    const exfat_node& node = found.value();
    const bool deleted = node.attributes & exfat_attr_deleted;
    const exfat::extent_plan_s plan =
        volume_.plan(node.first_cluster, node.size, node.flags & exfat::flag_no_fat_chain, deleted);
    last_restore_overwritten_ = plan.possibly_overwritten || node.overwritten;
    const std::uint64_t cluster = volume_.cluster_bytes();
    const std::uint64_t located =
        std::min<std::uint64_t>(plan.clusters.size() * cluster, node.size);
    // Bytes up to the valid data length come from the clusters; the rest reads as zeros.
    const std::uint64_t from_disk = std::min(node.valid_length, located);
    std::vector<std::uint8_t> buffer;
    std::uint64_t written = 0;
    const std::size_t per_chunk =
        static_cast<std::size_t>(std::max<std::uint64_t>(1, chunk_bytes / cluster));
    for (std::size_t i = 0; i < plan.clusters.size() && written < from_disk; i += per_chunk) {
        exfat::extent_plan_s piece;
        const std::size_t end = std::min(plan.clusters.size(), i + per_chunk);
        piece.clusters.assign(plan.clusters.begin() + static_cast<std::ptrdiff_t>(i),
                              plan.clusters.begin() + static_cast<std::ptrdiff_t>(end));
        if (!volume_.read_plan(piece, from_disk - written, &buffer)) {
            error_text_ = QStringLiteral("reading the volume failed after %1 bytes").arg(written);
            return -1;
        }
        if (!sink(reinterpret_cast<const char*>(buffer.data()), buffer.size())) {
            error_text_ = QStringLiteral("writing the restored file failed");
            return -1;
        }
        written += buffer.size();
    }
    if (written < node.valid_length && written < located) {
        error_text_ = QStringLiteral("reading the volume failed after %1 bytes").arg(written);
        return -1;
    }
    if (written < located && zeros) {
        if (!zeros(located - written)) {
            error_text_ = QStringLiteral("writing the restored file failed");
            return -1;
        }
        written = located;
    }
    const std::vector<char> zero_block(65536, 0);
    while (written < located) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(zero_block.size(), located - written));
        if (!sink(zero_block.data(), n)) {
            error_text_ = QStringLiteral("writing the restored file failed");
            return -1;
        }
        written += n;
    }
    if (written < node.size) {
        error_text_ = QStringLiteral("only %1 of its %2 bytes could be located on the volume")
                          .arg(written)
                          .arg(node.size);
        return -1;
    }
    return 0;
}

int exfat_recovery_c::restore_into(std::uint64_t file_key, restore_sink_c* sink) {
    return write_file(
        file_key,
        [sink](const char* data, std::size_t length) {
            return !sink->stop_requested() && sink->write(data, length);
        },
        [sink](std::uint64_t length) { return sink->zeros(length); });
}

int exfat_recovery_c::get_file_path(std::uint64_t file_key, QString* path) {
    return node_tree_path(node_table_, file_key, target_.path, path);
}
