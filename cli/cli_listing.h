#pragma once
// What orvane scan lists, held compactly: one fixed row per folder and file in path order,
// names in a shared arena, each folder's path once. A volume with millions of found files
// is listed without a path string and a record copy per file.

#include "engine/engine_choice.h"
#include "result/recovery_item.h"

#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class recovery_base_c;

class found_listing_c {
  public:
    // The folders that hold files and their files, from a finished engine's results.
    found_listing_c(const recovery_base_c* engine, engine_kind_e kind);

    std::size_t size() const { return rows_.size(); }
    QString path(std::size_t row) const;  // "/docs/a.txt", "/docs" for a folder
    recovery_item_s item(std::size_t row) const;
    bool directory(std::size_t row) const { return rows_[row].directory != 0; }

  private:
    struct row_s {
        std::uint64_t size = 0;
        std::int64_t date1 = 0;
        std::int64_t date2 = 0;
        std::uint64_t file_key = 0;
        std::int32_t attributes = 0;
        std::uint32_t prefix = 0;  // the folder path it lies in, with its closing '/'
        std::uint32_t name_offset = 0;
        std::uint16_t name_length = 0;
        std::uint8_t directory = 0;
        std::uint8_t overwritten = 0;
    };
    void add(const recovery_item_s& item, std::uint32_t prefix, const QString& name,
             bool directory);
    QStringView name(const row_s& row) const;

    static constexpr std::size_t chunk_units = 1 << 16;
    std::deque<row_s> rows_;
    std::vector<QString> prefixes_;
    std::vector<std::unique_ptr<char16_t[]>> chunks_;
    std::size_t chunk_used_ = chunk_units;
};
