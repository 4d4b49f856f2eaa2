#include "restore_names.h"

#include <QFileInfo>

namespace {

// Cuts a name to at most 255 bytes of UTF-8 without splitting a character.
QString fit_name_length(QString name) {
    while (name.toUtf8().size() > 255) {
        name.chop(name.size() > 1 && name.at(name.size() - 1).isLowSurrogate() ? 2 : 1);
    }
    return name;
}

}  // namespace

QString safe_file_name(const QString& name) {
    QString safe;
    safe.reserve(name.size());
    for (QChar c : name) {
        const char16_t u = c.unicode();
        safe += (u == u'/' || u == u'\\' || u < 0x20 || u == 0x7F) ? QChar(u'_') : c;
    }
    if (safe.isEmpty() || safe == QLatin1String(".") || safe == QLatin1String("..")) {
        safe.prepend(QLatin1Char('_'));
    }
    return fit_name_length(safe);
}

QString unique_path(const QString& folder, const QString& name, QSet<QString>* used) {
    const QString safe = safe_file_name(name);
    QString base = safe;
    QString suffix;
    const int dot = safe.lastIndexOf(QLatin1Char('.'));
    if (dot > 0) {
        base = safe.left(dot);
        suffix = safe.mid(dot);
    }
    QString candidate = folder + QLatin1Char('/') + safe;
    for (int n = 2; used->contains(candidate) || QFileInfo(candidate).exists() ||
                    QFileInfo(candidate).isSymLink();
         ++n) {
        candidate = folder + QLatin1Char('/') +
                    fit_name_length(base + QStringLiteral(" (%1)").arg(n) + suffix);
    }
    used->insert(candidate);
    return candidate;
}
