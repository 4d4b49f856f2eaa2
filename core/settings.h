#pragma once
// Settings file, language choice and the table of user-visible texts.
//
// Loaded on the main thread before any other thread exists (load_settings); read by the
// user-interface thread afterwards. The settings file is OrvaneRecovery.ini in the user's
// configuration folder; language.ini lives in the program's data folder.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>

class QSettings;

// Process-wide state of the texts and settings.
struct language_state_s {
    QString current_name;
    int current_index = 0;
    QString recovery_folder;
    QStringList language_list;
    std::map<QByteArray, QString> text_table;
};
language_state_s& language_state();

void load_settings();
void save_settings();
// Merges the section 'name' of language.ini into the text table; 0, or -1 when the file
// cannot be opened.
int load_language(const QString& name, bool make_current);
// The current language's text for a key; a missing key yields an empty text.
QString text(const char* key);
// A text that names a count: its forms are separated by '|' (singular first), chosen by the
// current language's plural rule as Qt's translations choose their numerus forms (English
// and most others: one for 1; French: one for 0 and 1; Chinese and Japanese: one form for
// all). "%n" in the form becomes the count; %1 and on are left for arg().
QString plural_text(const char* key, qint64 count);
QString image_folder_code();

// The language the user's locale asks for, as a section name; empty when it asks for none
// of the ten.
QString locale_language_choice();

// Folders and files.
QString data_folder();  // ORVANE_DATA_DIR, beside the executable, or <prefix>/share/orvane-recovery
QString settings_file_path();  // $XDG_CONFIG_HOME/OrvaneRecovery.ini
QSettings& settings();
// Disk images the user keeps in the settings (key "images").
QStringList settings_images();
