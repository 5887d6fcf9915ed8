#include "NdVideoName.h"

#include <QTextBoundaryFinder>

namespace {

const char* const kLastResortName = "video";

bool IsLineBreakOrControl(QChar c)
{
    return c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
        || c.category() == QChar::Separator_Paragraph;
}

bool IsTrimmed(QChar c)
{
    return c.isSpace() || c == QLatin1Char('.');
}

// A run of control characters (newlines, NUL, tabs) reads as one space.
QString WithoutControlCharacters(const QString& text)
{
    QString result;
    result.reserve(text.size());
    bool inRun = false;
    for (const QChar c : text) {
        if (IsLineBreakOrControl(c)) {
            if (!inRun)
                result += QLatin1Char(' ');
            inRun = true;
            continue;
        }
        inRun = false;
        result += c == QLatin1Char('/') ? QLatin1Char('_') : c;
    }
    return result;
}

QString TrimSpacesAndDots(const QString& text)
{
    int first = 0;
    int last = text.size();
    while (first < last && IsTrimmed(text.at(first)))
        ++first;
    while (last > first && IsTrimmed(text.at(last - 1)))
        --last;
    return text.mid(first, last - first);
}

int Utf8Bytes(const QString& text)
{
    return text.toUtf8().size();
}

// The longest start of the text, ending between two characters as the reader
// sees them, that takes at most maxBytes of UTF-8.
QString CutToBytes(const QString& text, int maxBytes)
{
    if (Utf8Bytes(text) <= maxBytes)
        return text;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    int cut = 0;
    int bytes = 0;
    for (int end = graphemes.toNextBoundary(); end > 0; end = graphemes.toNextBoundary()) {
        bytes += Utf8Bytes(text.mid(cut, end - cut));
        if (bytes > maxBytes)
            break;
        cut = end;
    }
    return text.left(cut);
}

QString SettleOnce(const QString& received)
{
    const int room = NdVideoName::kMaxFileNameBytes - NdVideoName::kNumberRoomBytes - Utf8Bytes(QStringLiteral(".mp4"));
    // Cut first, trim after: a cut may leave a space or a dot at the end.
    return TrimSpacesAndDots(CutToBytes(TrimSpacesAndDots(WithoutControlCharacters(received)), room));
}

} // namespace

QString NdVideoName::Settle(const QString& received, const QString& fallback)
{
    for (const QString& candidate : {received, fallback, QString::fromLatin1(kLastResortName)}) {
        const QString settled = SettleOnce(candidate);
        if (!settled.isEmpty())
            return settled;
    }
    return QString::fromLatin1(kLastResortName);
}

QString NdVideoName::Numbered(const QString& stem, int n, const QString& suffix)
{
    const QString number = QStringLiteral("(%1)").arg(n);
    return CutToBytes(stem, kMaxFileNameBytes - Utf8Bytes(number + suffix)) + number;
}

QString NdVideoName::FirstFree(
    const QString& stem, const QString& suffix, const std::function<bool(const QString& name)>& taken)
{
    QString name = stem;
    for (int n = 1; taken(name); ++n)
        name = Numbered(stem, n, suffix);
    return name;
}

bool NdVideoName::IsPlainFileName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}
