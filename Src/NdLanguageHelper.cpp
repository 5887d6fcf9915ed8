#include "NdLanguageHelper.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>

NdLanguageHelper* NdLanguageHelper::sm_pInstance = nullptr;

NdLanguageHelper* NdLanguageHelper::GetInstance()
{
    if (!sm_pInstance)
        sm_pInstance = new NdLanguageHelper();
    return sm_pInstance;
}

void NdLanguageHelper::Release()
{
    delete sm_pInstance;
    sm_pInstance = nullptr;
}

const char* NdLanguageHelper::LanguageFor(const QLocale& locale)
{
    switch (locale.language()) {
    case QLocale::Chinese:
    case QLocale::C:
    case QLocale::AnyLanguage:
        return kFirstLanguage;
    default:
        return "en-US";
    }
}

QString NdLanguageHelper::FilePath(const char* language)
{
    return QCoreApplication::applicationDirPath()
        + QStringLiteral("/../Resources/locale/%1.ini").arg(QString::fromUtf8(language));
}

bool NdLanguageHelper::Init(const char* language)
{
    return InitFromFile(FilePath(language));
}

// Read once into a table: the windows ask for texts on every progress report.
bool NdLanguageHelper::InitFromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    Texts.clear();
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')))
        AddEntry(line);
    return true;
}

// The key of an entry is the text before " = ", so a key never matches a longer
// key that merely begins with it ("NdDownloader.Size" vs "NdDownloader.SizeTip").
// The value is the first quoted text; the first entry of a key counts.
void NdLanguageHelper::AddEntry(const QString& line)
{
    const int separator = line.indexOf(QStringLiteral(" = "));
    if (separator < 0)
        return;
    const QString key = line.left(separator).trimmed();
    if (!Texts.contains(key))
        Texts.insert(key, line.section(QLatin1Char('"'), 1, 1));
}

QString NdLanguageHelper::Str(const char* key) const
{
    return Texts.value(QString::fromUtf8(key));
}

QString Str(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}
