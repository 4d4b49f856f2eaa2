#include "restore_names.h"

#include <QFileInfo>

namespace {

constexpr int extension_bytes = 32;  // a longer "extension" is part of the name

// Bytes of UTF-8 for one UTF-16 unit as written: half of a pair's 4, and a lone surrogate
// never reaches here (safe_file_name makes it U+FFFD, 3 bytes).
int utf8_bytes(QChar c) {
    const char16_t u = c.unicode();
    return u < 0x80 ? 1 : u < 0x800 ? 2 : c.isSurrogate() ? 2 : 3;
}

int utf8_length(const QString& text) {
    int bytes = 0;
    for (QChar c : text) {
        bytes += utf8_bytes(c);
    }
    return bytes;
}

// The longest start of text that fits max_bytes of UTF-8, never splitting a character.
QString cut_to_bytes(const QString& text, int max_bytes) {
    int bytes = 0;
    qsizetype keep = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            if (bytes + 4 > max_bytes) {
                break;
            }
            bytes += 4;
            ++i;
            keep = i + 1;
            continue;
        }
        if (bytes + utf8_bytes(c) > max_bytes) {
            break;
        }
        bytes += utf8_bytes(c);
        keep = i + 1;
    }
    return text.left(keep);
}

}  // namespace

QString safe_file_name(const QString& name) {
    QString safe;
    safe.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            safe += c;
            safe += name.at(++i);
        } else if (c.isSurrogate()) {
            safe += QChar(QChar::ReplacementCharacter);  // as the file system will be given it
        } else {
            safe += (u == u'/' || u == u'\\' || u < 0x20 || u == 0x7F) ? QChar(u'_') : c;
        }
    }
    if (safe.isEmpty() || safe == QLatin1String(".") || safe == QLatin1String("..")) {
        safe.prepend(QLatin1Char('_'));
    }
    // Too long: the name is cut before its extension, which is kept.
    return numbered_name(safe, 1);
}

QString numbered_name(const QString& safe, int n) {
    if (n < 2 && utf8_length(safe) <= restore_name_bytes) {
        return safe;
    }
    QString base = safe;
    QString suffix;
    const qsizetype dot = safe.lastIndexOf(QLatin1Char('.'));
    if (dot > 0 && utf8_length(safe.mid(dot)) <= extension_bytes) {
        base = safe.left(dot);
        suffix = safe.mid(dot);
    }
    const QString tag = n < 2 ? QString() : QStringLiteral(" (%1)").arg(n);
    return cut_to_bytes(base, restore_name_bytes - utf8_length(tag) - utf8_length(suffix)) + tag +
           suffix;
}

QString unique_path(const QString& folder, const QString& name, QSet<QString>* used) {
    const QString safe = safe_file_name(name);
    QString candidate = folder + QLatin1Char('/') + safe;
    for (int n = 2;
         n <= restore_name_tries && (used->contains(candidate) || QFileInfo(candidate).exists() ||
                                     QFileInfo(candidate).isSymLink());
         ++n) {
        candidate = folder + QLatin1Char('/') + numbered_name(safe, n);
    }
    used->insert(candidate);
    return candidate;
}
