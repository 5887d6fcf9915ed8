#pragma once

#include <QHash>
#include <QString>

class QLocale;

// Process-wide holder of the loaded language file. Every text the user sees is
// looked up here by a key such as "NdDownloader.ProductName".
class NdLanguageHelper
{
public:
    static NdLanguageHelper* GetInstance();
    static void Release();

    // The language every bundle carries, and the one spoken where the
    // desktop's language cannot be told.
    static constexpr char kFirstLanguage[] = "zh-CN";
    // The language file for a desktop in that locale: kFirstLanguage for any
    // Chinese one and for one that names no language ("C", POSIX, unknown),
    // "en-US" for every other.
    static const char* LanguageFor(const QLocale& locale);
    // <appdir>/../Resources/locale/<language>.ini
    static QString FilePath(const char* language);

    // Loads the language's file. A missing file keeps the texts loaded before.
    // Always returns true.
    bool Init(const char* language);
    // Loads a language file from an explicit path, with the same rules.
    bool InitFromFile(const QString& path);
    // The quoted value of the key's entry, or an empty text.
    QString Str(const char* key) const;

    virtual ~NdLanguageHelper() = default;

private:
    NdLanguageHelper() = default;

    void AddEntry(const QString& line);

    QHash<QString, QString> Texts; // by key
    static NdLanguageHelper* sm_pInstance;
};

// The text of a key in the loaded language: how the windows ask for every text.
QString Str(const char* key);
