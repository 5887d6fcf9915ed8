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

bool NdLanguageHelper::InitFromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    Lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    return true;
}

namespace {
// The key of an entry is the text before " = ", so a key never matches a longer
// key that merely begins with it ("NdDownloader.Size" vs "NdDownloader.SizeTip").
bool IsEntryOf(const QString& line, const QString& key)
{
    const int separator = line.indexOf(QStringLiteral(" = "));
    if (separator < 0)
        return false;
    return line.leftRef(separator).trimmed() == key;
}
} // namespace

QString NdLanguageHelper::Str(const char* key) const
{
    const QString wanted = QString::fromUtf8(key);
    for (const QString& line : Lines) {
        if (!IsEntryOf(line, wanted))
            continue;
        const QStringList parts = line.split(QLatin1Char('"'));
        return parts.size() > 1 ? parts.at(1) : QString();
    }
    return QString();
}

QString Str(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}
