#include "app/ui/qt_translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>

QString qt_locale_of(const QString& language_name) {
    static const struct {
        const char* name;  // UTF-8, as in language.ini
        const char* locale;
    } table[] = {
        {"Deutsch", "de"},      {"Español", "es"},     {"Français", "fr"},    {"Italiano", "it"},
        {"日本語", "ja"},       {"简体中文", "zh_CN"}, {"繁體中文", "zh_TW"}, {"Nederlands", "nl"},
        {"Português", "pt_BR"}, {"العربية", "ar"},
    };
    for (const auto& entry : table) {
        if (language_name.compare(QString::fromUtf8(entry.name), Qt::CaseInsensitive) == 0) {
            return QString::fromLatin1(entry.locale);
        }
    }
    return {};
}

bool install_qt_translations(const QString& language_name) {
    static std::unique_ptr<QTranslator> installed;
    if (installed) {
        QCoreApplication::removeTranslator(installed.get());
        installed.reset();
    }
    const QString locale = qt_locale_of(language_name);
    if (locale.isEmpty()) {
        return false;
    }
    auto translator = std::make_unique<QTranslator>();
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QStringLiteral("qtbase_") + locale, folder) ||
        !QCoreApplication::installTranslator(translator.get())) {
        return false;
    }
    installed = std::move(translator);
    return true;
}
