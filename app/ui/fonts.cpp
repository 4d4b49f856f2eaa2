#include "app/ui/fonts.h"

#include <QFont>
#include <QStringList>

void install_font_substitutions() {
    const QString cjk = QStringLiteral("WenQuanYi Micro Hei");
    // File names from a phone or a chat program carry emoji: drawn from an emoji font, not
    // as empty boxes.
    const QString emoji = QStringLiteral("Noto Color Emoji");
    // Liberation Sans has Arial's metrics; DejaVu Sans is Verdana's closest free relative.
    QFont::insertSubstitutions(
        QStringLiteral("Arial"),
        {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"), cjk, emoji});
    QFont::insertSubstitutions(QStringLiteral("Verdana"),
                               {QStringLiteral("DejaVu Sans"), cjk, emoji});
    QFont::insertSubstitutions(QStringLiteral("Comic Sans MS"),
                               {QStringLiteral("DejaVu Sans"), cjk, emoji});
    // The system's own font (the tree, the dialogs) too.
    QFont::insertSubstitutions(QStringLiteral("DejaVu Sans"), {cjk, emoji});
}
