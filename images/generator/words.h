#pragma once
// The words drawn into the language-dependent buttons, one row per image folder.
//
// A new language is one more row here; the build draws its folder and adds it to the
// resources. Folder codes are those the settings choose from the language name.

struct button_words_s {
    const char* code;    // image folder under multilang/
    const char* top[3];  // top bar: file recovery, partition search, deep scan
    const char* start_title;
    const char* start_line;
    const char* resume_title;
    const char* resume_line;
};

inline constexpr button_words_s button_words[] = {
    {"en",
     {"File Recovery", "Partition Search", "Deep Scan"},
     "Start a New Scan",
     "Find deleted and lost files",
     "Resume Recovery",
     "Open a saved scan result"},
    {"de",
     {"Dateien retten", "Partitionen suchen", "Tiefenscan"},
     "Neuen Scan starten",
     "Gelöschte und verlorene Dateien finden",
     "Wiederherstellung fortsetzen",
     "Gespeichertes Scanergebnis öffnen"},
    {"es",
     {"Recuperar archivos", "Buscar particiones", "Análisis profundo"},
     "Nuevo análisis",
     "Buscar archivos borrados y perdidos",
     "Reanudar recuperación",
     "Abrir un resultado guardado"},
    {"fr",
     {"Récupérer fichiers", "Recherche partitions", "Analyse profonde"},
     "Nouvelle analyse",
     "Trouver les fichiers supprimés ou perdus",
     "Reprendre la récupération",
     "Ouvrir un résultat enregistré"},
    {"it",
     {"Recupero file", "Cerca partizioni", "Scansione profonda"},
     "Nuova scansione",
     "Trova file eliminati e persi",
     "Riprendi recupero",
     "Apri un risultato salvato"},
    {"jp",
     {"ファイル復元", "パーティション検索", "詳細スキャン"},
     "新しいスキャン",
     "削除・紛失したファイルを探す",
     "復元を再開",
     "保存したスキャン結果を開く"},
    {"cn",
     {"文件恢复", "分区搜索", "深度扫描"},
     "开始新扫描",
     "查找已删除和丢失的文件",
     "继续恢复",
     "打开已保存的扫描结果"},
    {"hk",
     {"檔案救援", "分割區搜尋", "深度掃描"},
     "開始新掃描",
     "尋找已刪除和遺失的檔案",
     "繼續救援",
     "開啟已儲存的掃描結果"},
    {"pt",
     {"Recuperar arquivos", "Buscar partições", "Verificação profunda"},
     "Nova verificação",
     "Encontrar arquivos apagados e perdidos",
     "Retomar recuperação",
     "Abrir um resultado salvo"},
    {"nl",
     {"Bestanden herstellen", "Partities zoeken", "Diepe scan"},
     "Nieuwe scan",
     "Verwijderde en verloren bestanden vinden",
     "Herstel hervatten",
     "Een opgeslagen scanresultaat openen"},
};

// Folders that show another folder's images: Arabic has no texts of its own in the
// language file, so its buttons read in English like the rest of its pages.
struct folder_alias_s {
    const char* code;
    const char* shows;
};
inline constexpr folder_alias_s folder_aliases[] = {{"ar", "en"}};
