#include "NdPlaylistFetch.h"

#include "NdPlaylistText.h"
#include "NdRetryPolicy.h"
#include "NdTaskFolder.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdHttpManager.h"
#include "NdCore/NdLogManager.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrl>

#include <cstdio>

namespace {

const qint64 kAesKeyBytes = 16;
// Caps on what a content server sends: a playlist, a key.
const qint64 kMaxPlaylistBytes = 16 << 20;
const qint64 kMaxKeyBytes = 4096;
// A master playlist may name another master playlist; follow a few, not forever.
const int kMaxPlaylistHops = 3;

// File contents up to the first NUL byte; empty when the file is missing or empty.
std::string ReadTextFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    const QByteArray bytes = file.readAll();
    const int nul = bytes.indexOf('\0');
    return (nul < 0 ? bytes : bytes.left(nul)).toStdString();
}

QString Loggable(const QString& address)
{
    return NdCommHelper::LoggableAddress(address);
}

// One transfer of a playlist with its retries; false when the local file could
// not be made, so that nothing was sent.
bool FetchOnce(const QString& address, const QString& localPath, const NdPlaylistFetch::ProgressFn& onProgress,
    NdHttpFailure_t& outcome, QString& finalUrl)
{
    bool sent = false;
    outcome = NdRetryPolicy::Run(QStringLiteral("playlist %1").arg(Loggable(address)), [&] {
        NdHttpManager request(address);
        request.MaxBytes(kMaxPlaylistBytes).Complete([&sent] { sent = true; });
        if (onProgress)
            request.DownloadProgress(onProgress);
        request.DownloadSync(localPath);
        finalUrl = request.LastUrl();
        return request.LastFailure();
    });
    return sent;
}

// The key's transfer with its retries; what went wrong, or "" when the key is
// in the folder.
QString FetchKey(const NdTaskFolder& folder, const NdPlaylistKey_t& key, const QUrl& playlistAddress)
{
    const QString address = NdCommHelper::FromUtf8(key.Address);
    // Whoever can read plain http could decrypt the lesson, or hand over another key.
    if (playlistAddress.scheme() == QLatin1String("https") && QUrl(address).scheme() != QLatin1String("https"))
        return QStringLiteral("plain http under an https playlist");
    const QString partial = key.LocalName + QStringLiteral(".part");
    const NdHttpFailure_t outcome = NdRetryPolicy::Run(QStringLiteral("key %1").arg(Loggable(address)), [&] {
        NdHttpManager request(address);
        request.MaxBytes(kMaxKeyBytes).DownloadSync(folder.FilePath(partial));
        return request.LastFailure();
    });
    QString problem;
    const qint64 size = QFileInfo(folder.FilePath(partial)).size();
    if (outcome.Failed())
        problem = outcome.Code == NdHttpManager::kLocalFileError ? QStringLiteral("cannot write it")
                                                                 : NdRetryPolicy::Describe(outcome);
    else if (size != kAesKeyBytes)
        problem = QStringLiteral("%1 bytes instead of %2").arg(size).arg(kAesKeyBytes);
    else if (std::rename(QFile::encodeName(folder.FilePath(partial)).constData(),
                 QFile::encodeName(folder.FilePath(key.LocalName)).constData())
        != 0)
        problem = QStringLiteral("cannot write it");
    folder.RemoveFile(partial);
    return problem;
}

// The keys not yet in the folder; false, with one log line, when one cannot be
// had as 16 bytes over the right scheme.
bool FetchKeys(const NdTaskFolder& folder, const std::vector<NdPlaylistKey_t>& keys, const QUrl& playlistAddress)
{
    for (const NdPlaylistKey_t& key : keys) {
        // Fetched by an earlier run: a resumed task needs no network for it.
        if (QFileInfo(folder.FilePath(key.LocalName)).size() == kAesKeyBytes)
            continue;
        const QString problem = FetchKey(folder, key, playlistAddress);
        if (problem.isEmpty())
            continue;
        ND_LOG(LogError, "Cannot fetch the AES key %s: %s",
            qUtf8Printable(Loggable(NdCommHelper::FromUtf8(key.Address))), qUtf8Printable(problem));
        return false;
    }
    return true;
}

// The playlist's length, for the check of the merged video; without it the
// merge could not be checked, and a full disk, of all times, is when merges
// come out short.
bool KeepLength(const NdTaskFolder& folder, double seconds)
{
    if (seconds <= 0.0) {
        folder.RemoveFile(QLatin1String(NdTaskFolder::kDurationFileName));
        return true;
    }
    const QString path = folder.FilePath(QLatin1String(NdTaskFolder::kDurationFileName));
    if (NdCommHelper::WriteFileWhole(path, QByteArray::number(seconds, 'f', 3)))
        return true;
    ND_LOG(LogError, "Cannot write %s.", qUtf8Printable(path));
    return false;
}

// The playlist that ffmpeg merges from; none at all when the concat list is
// to be merged from, as the converter takes a local playlist wherever there is one.
bool KeepLocalPlaylist(const NdTaskFolder& folder, const QByteArray& text)
{
    const QString name = QLatin1String(NdTaskFolder::kLocalPlaylistName);
    if (text.isEmpty() ? folder.RemoveFile(name) : NdCommHelper::WriteFileWhole(folder.FilePath(name), text))
        return true;
    ND_LOG(LogError, "Cannot %s %s.", text.isEmpty() ? "remove" : "write", qUtf8Printable(folder.FilePath(name)));
    return false;
}

} // namespace

QString NdPlaylistFetch::PlaylistPath(const QString& folder, const QString& m3u8Url)
{
    return folder + QLatin1Char('/') + NdPlaylistText::LocalName(m3u8Url);
}

void NdPlaylistFetch::Download(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete, ProgressFn onProgress)
{
    const QString firstAddress = NdCommHelper::FromUtf8(m3u8Url);
    const NdTaskFolder taskFolder = NdTaskFolder::At(NdCommHelper::FromUtf8(folder));
    const QString localPath = PlaylistPath(taskFolder.Path(), firstAddress);
    QString address = firstAddress;
    for (int hop = 0;; ++hop) {
        NdHttpFailure_t outcome;
        QString finalUrl;
        if (!FetchOnce(address, localPath, onProgress, outcome, finalUrl))
            return;
        if (outcome.Failed()) {
            // An error page must never be taken for the playlist.
            taskFolder.RemoveFile(QFileInfo(localPath).fileName());
            taskFolder.RemoveFile(QLatin1String(NdTaskFolder::kPlaylistAddressName));
            break;
        }
        // Relative entries belong to the address that finally answered, which
        // a redirect may have changed; a resumed task resolves them the same way.
        NdCommHelper::WriteFileWhole(
            taskFolder.FilePath(QLatin1String(NdTaskFolder::kPlaylistAddressName)), finalUrl.toUtf8());
        const std::string variant
            = hop < kMaxPlaylistHops ? NdPlaylistText::MasterPlaylistVariant(ReadTextFile(localPath)) : std::string();
        if (variant.empty())
            break;
        address = NdCommHelper::FromUtf8(NdPlaylistText::Resolve(NdCommHelper::ToUtf8(finalUrl), variant));
    }
    if (onComplete)
        onComplete();
}

void NdPlaylistFetch::DownloadInBackground(const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete)
{
    auto completed = std::make_shared<bool>(false);
    QThread* thread = QThread::create([=] { Download(m3u8Url, folder, [completed] { *completed = true; }, {}); });
    // Told on the calling thread, once the thread has ended.
    auto* receiver = new QObject;
    QObject::connect(thread, &QThread::finished, receiver, [=] {
        thread->deleteLater();
        receiver->deleteLater();
        if (*completed && onComplete)
            onComplete();
    });
    thread->start();
}

bool NdPlaylistFetch::Parse(const std::string& folder, const std::string& m3u8Url, std::vector<std::string>& segments)
{
    const NdTaskFolder taskFolder = NdTaskFolder::At(NdCommHelper::FromUtf8(folder));
    if (folder.empty() || m3u8Url.empty() || !QFileInfo(taskFolder.Path()).isDir())
        return false;
    const std::string text = ReadTextFile(PlaylistPath(taskFolder.Path(), NdCommHelper::FromUtf8(m3u8Url)));
    if (text.empty())
        return false;
    QString address
        = NdCommHelper::FromUtf8(ReadTextFile(taskFolder.FilePath(QLatin1String(NdTaskFolder::kPlaylistAddressName))))
              .trimmed();
    if (address.isEmpty())
        address = NdCommHelper::FromUtf8(m3u8Url);
    const NdPlaylistFacts_t facts = NdPlaylistText::Read(text, NdCommHelper::ToUtf8(address));
    if (!facts.Problem.isEmpty())
        ND_LOG(LogError, "Playlist %s %s: no segments taken.", qUtf8Printable(Loggable(address)),
            qUtf8Printable(facts.Problem));
    if (KeepLocalPlaylist(taskFolder, facts.LocalPlaylist) && KeepLength(taskFolder, facts.Seconds)
        && FetchKeys(taskFolder, facts.Keys, QUrl(address, QUrl::TolerantMode)))
        segments.insert(segments.end(), facts.Segments.begin(), facts.Segments.end());
    return true;
}
