#pragma once
// From an engine's finished results to what the result tree and the file table show: the
// folders that hold found files, and the found files of one folder as recovery_item_s
// records.
//
// Used on the user-interface thread (or the tool's main thread) after the engine thread has
// finished; the engine must not be reset or started again while the folders are in use.
// Each engine kind has one branch in file_list.cpp; the callers stay the same for all.

#include "engine/engine_choice.h"
#include "result/recovery_item.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

class recovery_base_c;

// What fill_file_list needs to find a folder again in its engine's results.
struct folder_ref_s {
    // FAT: the folder's first cluster (0 the root directory); deep scan: the number of a
    // type's sub-folder (0: the type's folder holds all its files)
    std::uint64_t key = 0;
    const void* list = nullptr;  // an engine's own list behind the folder, where it has one
};

// The most files a deep scan's folder holds: a type with more is listed (and restored) in
// numbered sub-folders of its folder ("jpg/0001", "jpg/0002", ...), each of this many files
// but the last.
constexpr qsizetype deep_folder_files = 10000;

// One folder of the result tree.
struct result_folder_s {
    // "/" for the top folder, else "/docs/reports" (names as found); filled only when the
    // list is made with folder_paths_e::with_paths (result_folder_path builds it on demand).
    QString path;
    folder_ref_s ref;
    recovery_item_s item;  // the folder's own entry (name, times, key, attributes); empty for "/"
    std::ptrdiff_t parent = -1;  // the parent's position in the list; -1 for "/"
};

enum class folder_paths_e { with_paths, without_paths };

// The folders of the result tree, depth first, the top folder "/" first and every folder
// after its parent. A folder is listed when something below it is a found file. Empty when
// the engine has no top folder (nothing was scanned). Without paths the list costs the
// same for folders nested thousands deep as for flat ones.
std::vector<result_folder_s> list_result_folders(const recovery_base_c* engine, engine_kind_e kind,
                                                 folder_paths_e paths = folder_paths_e::with_paths);
// The path of folders[index], "/" for the top folder, built from the names of its parents.
QString result_folder_path(const std::vector<result_folder_s>& folders, std::size_t index);

// A folder's path, gathered from its own name up to the top and joined once. With a limit
// (in characters), only the nearest names that fit are kept, after "…". The names must
// outlive the object.
class climbed_path_c {
  public:
    explicit climbed_path_c(qsizetype limit = -1) : limit_(limit) {}
    // Adds the next name up; false when it no longer fits the limit (stop climbing).
    bool add(const QString& name);
    QString text() const;  // "/" when no name was added

  private:
    std::vector<const QString*> names_;
    qsizetype length_ = 0;
    qsizetype limit_;
    bool cut_ = false;
};

// Hands each listable file of the folder to visit, one record at a time in the engine's
// order, keeping none: a folder of a million found files costs one record.
using file_visit_fn = std::function<void(recovery_item_s&& item)>;
void visit_file_list(const recovery_base_c* engine, engine_kind_e kind, const folder_ref_s& folder,
                     const file_visit_fn& visit);

// Empties file_list and appends one record, unticked, per listable file of the folder, in the
// engine's order.
void fill_file_list(std::vector<recovery_item_s>& file_list, const recovery_base_c* engine,
                    engine_kind_e kind, const folder_ref_s& folder);

// How many records fill_file_list would append for the folder, and their bytes; for a deep
// scan's folders without making a record of each file.
struct file_totals_s {
    std::int64_t files = 0;
    std::uint64_t bytes = 0;
};
file_totals_s count_file_list(const recovery_base_c* engine, engine_kind_e kind,
                              const folder_ref_s& folder);

// The engine's attribute word marks the record as a deleted file.
bool record_is_deleted(engine_kind_e kind, const recovery_item_s& item);
// A deleted file listed by its name only: the quick scan does not know where its data lay
// (ext4: no older copy of its inode), so it cannot restore it; a deep scan may find the data.
bool record_without_data(engine_kind_e kind, const recovery_item_s& item);
