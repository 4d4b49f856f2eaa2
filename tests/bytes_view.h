#pragma once
// Bytes in memory as the deep scan's view of a volume, for tests of its measures.
#include "engine/raw/sig_format.h"

#include <QByteArray>

#include <cstdint>

class bytes_view_c final : public sig::byte_view_c {
  public:
    explicit bytes_view_c(const QByteArray& data) : data_(data) {}
    const std::uint8_t* at(std::uint64_t pos, std::size_t n) override {
        const auto size = static_cast<std::uint64_t>(data_.size());
        return pos > size || n > size - pos
                   ? nullptr
                   : reinterpret_cast<const std::uint8_t*>(data_.constData()) + pos;
    }
    std::uint64_t size() const override { return static_cast<std::uint64_t>(data_.size()); }

  private:
    QByteArray data_;
};
