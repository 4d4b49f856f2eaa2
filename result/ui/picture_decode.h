#pragma once
// Pictures from found files' bytes, for the scan page's previews and thumbnails.
//
// A found file is hostile, and Qt's image readers and the libraries behind them parse it:
// the desktop program never decodes one itself. decode_picture_apart hands the bytes to a
// child process (orvane-meta --pictures, meta_child.h) that holds no disk descriptor and
// gets back at most side x side pixels; a reader that crashes or hangs there costs the
// picture, not the program. decode_picture is what that child runs. Any thread.

#include <QByteArray>
#include <QImage>
#include <QString>

// The image reader's format for a file suffix ("jpg" -> "jpeg"), or empty when no reader
// Qt has takes it. Vector formats are left out: a picture of pixels is what is shown.
QByteArray picture_format(const QString& suffix);

// The picture, at most side x side pixels with its shape kept, in the reader format given
// (empty: the one its content names, vector formats excepted); a null image when the bytes
// are not such a picture or decoding would need more memory than the allocation limit.
QImage decode_picture(const QByteArray& bytes, const QByteArray& format, int side);

// decode_picture, run in the picture child (side at most 2048). At most two decode at once.
QImage decode_picture_apart(const QByteArray& bytes, const QByteArray& format, int side);
