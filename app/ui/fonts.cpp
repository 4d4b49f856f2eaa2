#include "app/ui/fonts.h"

#include <QFont>
#include <QStringList>

void install_font_substitutions() {
    const QString cjk = QStringLiteral("WenQuanYi Micro Hei");
    // Liberation Sans has Arial's metrics; DejaVu Sans is Verdana's closest free relative.
    QFont::insertSubstitutions(QStringLiteral("Arial"), {QStringLiteral("Liberation Sans"),
                                                         QStringLiteral("DejaVu Sans"), cjk});
    QFont::insertSubstitutions(QStringLiteral("Verdana"), {QStringLiteral("DejaVu Sans"), cjk});
    QFont::insertSubstitutions(QStringLiteral("Comic Sans MS"),
                               {QStringLiteral("DejaVu Sans"), cjk});
}
