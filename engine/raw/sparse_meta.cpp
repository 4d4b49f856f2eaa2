#include "sparse_meta.h"

#include <algorithm>

void sparse_meta_c::push_back(file_meta_s meta) {
    if (!meta.empty()) {
        kept_.emplace_back(size_, std::move(meta));
    }
    ++size_;
}

void sparse_meta_c::clear() {
    kept_.clear();
    kept_.shrink_to_fit();
    size_ = 0;
}

const file_meta_s& sparse_meta_c::operator[](std::size_t position) const {
    static const file_meta_s nothing;
    const auto found = std::lower_bound(kept_.begin(), kept_.end(), position,
                                        [](const std::pair<std::uint64_t, file_meta_s>& kept,
                                           std::size_t p) { return kept.first < p; });
    return found != kept_.end() && found->first == position ? found->second : nothing;
}
