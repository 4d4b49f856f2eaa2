#pragma once
// Qt's own texts (the buttons of message boxes, the file dialogs) in the program's language:
// Qt's translation files (Debian's qt6-translations-l10n) for the language chosen in the
// settings. GUI thread, after the application object exists.

#include <QString>

// The locale of Qt's translation files for a language of language.ini ("de", "zh_CN",
// "pt_BR"); empty for English and for names it does not know.
QString qt_locale_of(const QString& language_name);

// Installs Qt's translations for the language, replacing those installed before; true when
// a translation file was found and loaded. English needs none and returns false.
bool install_qt_translations(const QString& language_name);
