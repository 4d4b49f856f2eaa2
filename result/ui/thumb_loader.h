#pragma once
// Makes the thumbnails of the scan page's picture grid, away from the user-interface thread.
//
// A thumbnail is made from the found file's own bytes, read through the same path a restore
// writes them (the read function, the page's restore_into), at most byte_limit of them, and
// decoded by Qt's image readers in the picture child (picture_decode.h) with an allocation
// limit and scaled while decoding where the format allows. Finished thumbnails sit in a cache whose
// cost is their size in bytes.
//
// The grid asks for the items it shows (want); a request that has not started when the
// grid asks for other items is dropped, and clear() (a new scan, a loaded scan file, leaving
// the page) makes every running read stop at its next write and its result be thrown away.
// At most two files are read and decoded at once. Lives on the user-interface thread; the
// read function runs on the pool's threads.

#include "result/recovery_item.h"

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class restore_sink_c;

class thumb_loader_c : public QObject {
    Q_OBJECT
  public:
    // Writes the item's bytes into the sink, as a restore does; 0 when it wrote them all.
    using read_f = std::function<int(const recovery_item_s&, restore_sink_c*)>;

    static constexpr int side = 112;                        // pixels, the longer edge
    static constexpr std::uint64_t byte_limit = 32u << 20;  // bytes read per picture
    static constexpr qsizetype default_cache_bytes = 48 << 20;

    explicit thumb_loader_c(read_f read, qsizetype cache_bytes = default_cache_bytes,
                            QObject* parent = nullptr);
    ~thumb_loader_c() override;

    // A name whose suffix one of the image readers Qt ships decodes (jpg, png, gif, bmp, ...).
    static bool is_picture(const QString& name);
    // The thumbnail of an encoded picture: at most side x side pixels, its shape kept; a
    // null image when the bytes are not a picture of the format the suffix names, or when
    // decoding would need more memory than the allocation limit allows.
    static QImage decode(const QByteArray& bytes, const QString& suffix, int side);
    // The thumbnail centred on a clear side x side square with a thin frame around the
    // picture: every cell of the grid the same, the names in one line.
    static QImage framed(const QImage& thumbnail, int side);

    // What the cache knows a file by: its engine key, size and name together, as a FAT
    // volume's deleted files may share their first cluster (their key).
    static std::uint64_t key_of(const recovery_item_s& item);
    // The finished thumbnail of a file, or null when there is none (yet).
    const QImage* find(const recovery_item_s& item) const;
    // The file was read and is not a picture Qt can show: the grid shows its type instead.
    bool failed(const recovery_item_s& item) const { return failed_.contains(key_of(item)); }
    // Asks for the thumbnails of these files, the first first. Pictures only; those already
    // made, failed or being made are skipped; earlier requests that have not started and
    // are not among these are dropped.
    void want(const std::vector<recovery_item_s>& items);
    // Forgets every thumbnail and request; running reads stop and their results are dropped.
    void clear();
    // clear(), then waits until no read runs: before the engines' results change.
    void stop();

    // Reads started since the loader was made (for the tests).
    int reads_started() const { return reads_started_; }
    int pending() const { return static_cast<int>(queue_.size()); }
    // No read runs: every request made so far has its answer.
    bool idle() const { return running_count_ == 0 && queue_.empty(); }
    qsizetype cache_bytes() const { return cache_.totalCost(); }

  signals:
    // The thumbnail of the file whose key_of is key was made (find gives it) or failed.
    void ready(std::uint64_t key);

  private:
    void start_next();
    void finished(int generation, std::uint64_t key, const QImage& image);

    read_f read_;
    QThreadPool pool_;
    QCache<std::uint64_t, QImage> cache_;
    QSet<std::uint64_t> failed_;
    QSet<std::uint64_t> running_;
    std::vector<recovery_item_s> queue_;
    std::shared_ptr<std::atomic<int>> generation_;  // the pool's reads compare it
    int running_count_ = 0;
    int reads_started_ = 0;
};
