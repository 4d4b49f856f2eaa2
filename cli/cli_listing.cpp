#include "cli_listing.h"

#include "result/file_list.h"

#include <QHash>

#include <algorithm>
#include <cstring>

found_listing_c::found_listing_c(const recovery_base_c* engine, engine_kind_e kind) {
    QHash<QString, std::uint32_t> prefix_of;
    std::vector<recovery_item_s> file_list;
    for (const result_folder_s& folder : list_result_folders(engine, kind)) {
        const QString prefix =
            folder.path == QLatin1String("/") ? folder.path : folder.path + QLatin1Char('/');
        const auto own = static_cast<std::uint32_t>(prefixes_.size());
        prefixes_.push_back(prefix);
        prefix_of.insert(prefix, own);
        if (folder.path != QLatin1String("/")) {
            const qsizetype cut = folder.path.lastIndexOf(QLatin1Char('/'));
            const auto parent = prefix_of.constFind(folder.path.left(cut + 1));
            if (parent != prefix_of.constEnd()) {
                add(folder.item, parent.value(), folder.path.mid(cut + 1), true);
            }
        }
        fill_file_list(file_list, engine, kind, folder.ref);
        for (const recovery_item_s& item : file_list) {
            add(item, own, item.name, false);
        }
    }
    // Path order, compared piece by piece without making the paths.
    std::sort(rows_.begin(), rows_.end(), [this](const row_s& a, const row_s& b) {
        const QStringView pa = prefixes_[a.prefix];
        const QStringView pb = prefixes_[b.prefix];
        const QStringView na = name(a);
        const QStringView nb = name(b);
        const qsizetype la = pa.size() + na.size();
        const qsizetype lb = pb.size() + nb.size();
        for (qsizetype i = 0; i < std::min(la, lb); ++i) {
            const char16_t ca = i < pa.size() ? pa[i].unicode() : na[i - pa.size()].unicode();
            const char16_t cb = i < pb.size() ? pb[i].unicode() : nb[i - pb.size()].unicode();
            if (ca != cb) {
                return ca < cb;
            }
        }
        return la != lb ? la < lb : a.file_key < b.file_key;
    });
}

void found_listing_c::add(const recovery_item_s& item, std::uint32_t prefix, const QString& name,
                          bool directory) {
    const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(name.size()), 0xFFFF);
    if (chunk_used_ + length > chunk_units) {
        chunks_.push_back(std::make_unique<char16_t[]>(std::max(chunk_units, length)));
        chunk_used_ = 0;
    }
    row_s row;
    row.size = item.size;
    row.date1 = item.date1;
    row.date2 = item.date2;
    row.file_key = item.file_key;
    row.attributes = item.attributes;
    row.prefix = prefix;
    row.name_offset = static_cast<std::uint32_t>((chunks_.size() - 1) * chunk_units + chunk_used_);
    row.name_length = static_cast<std::uint16_t>(length);
    row.directory = directory ? 1 : 0;
    row.overwritten = item.overwritten ? 1 : 0;
    std::memcpy(chunks_.back().get() + chunk_used_, name.utf16(), length * sizeof(char16_t));
    chunk_used_ += length;
    rows_.push_back(row);
}

QStringView found_listing_c::name(const row_s& row) const {
    return QStringView(chunks_[row.name_offset / chunk_units].get() + row.name_offset % chunk_units,
                       row.name_length);
}

QString found_listing_c::path(std::size_t row) const {
    return prefixes_[rows_[row].prefix] + name(rows_[row]).toString();
}

recovery_item_s found_listing_c::item(std::size_t row) const {
    const row_s& r = rows_[row];
    recovery_item_s item;
    item.name = name(r).toString();
    item.size = r.size;
    item.date1 = r.date1;
    item.date2 = r.date2;
    item.file_key = r.file_key;
    item.attributes = r.attributes;
    item.overwritten = r.overwritten != 0;
    return item;
}
