// recovery_base_c is header-only apart from restore_file and its meta-object, which moc
// generates here.
#include "recovery_base.h"

#include "core/settings.h"
#include "engine/restore_writer.h"

QString recovery_base_c::orphans_folder_name() {
    const QString name = text("ntfs_orphans_folder");
    return name.isEmpty() || name.contains(QLatin1Char('/')) ? QStringLiteral("[Orphaned files]")
                                                             : name;
}

int recovery_base_c::restore_file(std::uint64_t file_key, const QString& destination) {
    const auto fill = [&](restore_sink_c* sink) { return restore_into(file_key, sink); };
    return restore_writer_c::write_exact(destination, fill) == restore_written ? 0 : -1;
}
