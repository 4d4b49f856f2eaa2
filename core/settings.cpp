#include "settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>

#include <unistd.h>

namespace {

std::unique_ptr<QSettings> settings_object;

QString executable_folder() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return QDir::currentPath();
    }
    buffer[n] = 0;
    return QFileInfo(QString::fromLocal8Bit(buffer)).absolutePath();
}

QString unescape_text(QString value) {
    value.replace(QStringLiteral("\\t"), QStringLiteral("\t"));
    value.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
    return value;
}

}  // namespace

language_state_s& language_state() {
    static language_state_s state;
    return state;
}

QString data_folder() {
    QString overridden = qEnvironmentVariable("ORVANE_DATA_DIR");
    if (!overridden.isEmpty()) {
        return overridden;
    }
    QString beside = executable_folder();
    if (QFileInfo::exists(beside + QStringLiteral("/language.ini"))) {
        return beside;
    }
    return QDir::cleanPath(beside + QStringLiteral("/../share/orvane-recovery"));
}

QString settings_file_path() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty()) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/OrvaneRecovery.ini");
}

QSettings& settings() {
    // Re-created when the configuration folder changes (tests point it elsewhere).
    if (!settings_object || settings_object->fileName() != settings_file_path()) {
        settings_object = std::make_unique<QSettings>(settings_file_path(), QSettings::IniFormat);
    }
    return *settings_object;
}

QStringList settings_images() {
    return settings().value(QStringLiteral("images")).toStringList();
}

QString locale_language_choice() {
    QString locale;
    for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = qEnvironmentVariable(variable).section(QLatin1Char(':'), 0, 0);
        if (!locale.isEmpty()) {
            break;
        }
    }
    locale = locale.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
    const QString lang = locale.section(QLatin1Char('_'), 0, 0).toLower();
    const QString region = locale.section(QLatin1Char('_'), 1, 1).toUpper();
    if (lang == QLatin1String("en"))
        return QStringLiteral("English");
    if (lang == QLatin1String("de"))
        return QStringLiteral("Deutsch");
    if (lang == QLatin1String("es"))
        return QStringLiteral("Español");
    if (lang == QLatin1String("fr"))
        return QStringLiteral("Français");
    if (lang == QLatin1String("it"))
        return QStringLiteral("Italiano");
    if (lang == QLatin1String("ja"))
        return QStringLiteral("日本語");
    if (lang == QLatin1String("nl"))
        return QStringLiteral("Nederlands");
    if (lang == QLatin1String("pt"))
        return QStringLiteral("Português");
    if (lang == QLatin1String("zh")) {
        if (region == QLatin1String("TW") || region == QLatin1String("HK") ||
            region == QLatin1String("MO")) {
            return QStringLiteral("繁體中文");
        }
        return QStringLiteral("简体中文");
    }
    return {};
}

void load_settings() {
    language_state_s& state = language_state();
    settings_object.reset();  // read the file afresh
    QSettings& file = settings();
    state.recovery_folder = file.value(QStringLiteral("recovery_folder")).toString();
    state.current_name = file.value(QStringLiteral("language")).toString();
    if (state.current_name.isEmpty()) {
        QString choice = locale_language_choice();
        if (!choice.isEmpty()) {
            state.current_name = choice;
            file.setValue(QStringLiteral("language"), choice);
            file.sync();
        } else {
            state.current_name = QStringLiteral("English");
        }
    }
    load_language(QStringLiteral("English"), false);
    load_language(state.current_name, true);
}

void save_settings() {
    language_state_s& state = language_state();
    QSettings& file = settings();
    file.setValue(QStringLiteral("recovery_folder"), state.recovery_folder);
    file.setValue(QStringLiteral("language"), state.current_name);
    file.sync();
}

int load_language(const QString& name, bool make_current) {
    const QString path = data_folder() + QStringLiteral("/language.ini");
    std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "r");
    if (!file) {
        return -1;
    }
    static const std::regex section_line(R"re(^\s*\[(.*)\]\s*$)re");
    static const std::regex text_line(R"re(^\s*([^;].*)\s*=\s*"(.+)"\s*$)re");

    language_state_s& state = language_state();
    state.language_list.clear();
    bool wanted = false;
    char piece[2048];  // a longer line is read as several lines
    while (std::fgets(piece, sizeof piece, file)) {
        std::string line(piece);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        std::smatch match;
        if (std::regex_match(line, match, section_line)) {
            const QString section = QString::fromStdString(match[1].str());
            state.language_list << section;
            if (wanted) {
                wanted = false;
            } else if (section == name) {
                wanted = true;
                if (make_current) {
                    state.current_index = static_cast<int>(state.language_list.size()) - 1;
                }
            }
        } else if (wanted && std::regex_match(line, match, text_line)) {
            state.text_table[QByteArray::fromStdString(match[1].str())] =
                unescape_text(QString::fromStdString(match[2].str()));
        }
    }
    std::fclose(file);
    return 0;
}

QString text(const char* key) {
    // A lookup never inserts: a worker thread may format a message while another reads.
    const auto& table = language_state().text_table;
    const auto found = table.find(QByteArray(key));
    return found != table.end() ? found->second : QString();
}

QString plural_text(const char* key, qint64 count) {
    const QStringList forms = text(key).split(QLatin1Char('|'));
    const QString name = language_state().current_name;
    qsizetype form = 0;
    if (name == QStringLiteral("日本語") || name == QStringLiteral("简体中文") ||
        name == QStringLiteral("繁體中文")) {
        form = 0;
    } else if (name == QStringLiteral("Français")) {
        form = count <= 1 ? 0 : 1;
    } else {
        form = count == 1 ? 0 : 1;
    }
    QString chosen = forms.at(std::min(form, forms.size() - 1));
    return chosen.replace(QStringLiteral("%n"), QString::number(count));
}

QString image_folder_code() {
    const language_state_s& state = language_state();
    if (state.current_index < 0 || state.current_index >= state.language_list.size()) {
        return QStringLiteral("en");
    }
    const QString name = state.language_list.at(state.current_index);
    static const std::pair<const char*, const char*> codes[] = {
        {"Deutsch", "de"},    {"Français", "fr"}, {"Español", "es"}, {"简体中文", "cn"},
        {"繁體中文", "hk"},   {"Italiano", "it"}, {"日本語", "jp"},  {"Português", "pt"},
        {"Nederlands", "nl"}, {"العربية", "ar"},
    };
    for (const auto& [language, code] : codes) {
        if (name.compare(QString::fromUtf8(language), Qt::CaseInsensitive) == 0) {
            return QString::fromLatin1(code);
        }
    }
    return QStringLiteral("en");
}
