#include "NdHttpManagerImpl.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdLogManager.h"
#include "NdCore/NdStopScope.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHttpMultiPart>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslError>
#include <QTextCodec>
#include <QTextStream>
#include <QUrl>

namespace {

const int kMaxRedirects = 5;
const char* const kUserAgent = "NdDownloader";
const char* const kDownloadCompleteText = "Download complete.";
const char* const kTimedOutText = "Transfer timed out";
const char* const kStoppedText = "Transfer stopped";

bool SendsBody(NdHttpRequestMethod method)
{
    return method == HttpPost || method == HttpPut || method == HttpDelete;
}

// Header names are case-insensitive on the wire: one entry per name, whatever
// its spelling, so that a fixed value really replaces the caller's.
void ReplaceHeader(QHash<QString, QString>* headers, const QString& name, const QString& value)
{
    for (auto it = headers->begin(); it != headers->end();) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            it = headers->erase(it);
        else
            ++it;
    }
    headers->insert(name, value);
}

// The system's roots are read once: listing them on every request would cost a
// directory scan each time.
const QList<QSslCertificate>& SystemCaCertificates()
{
    static const QList<QSslCertificate> certificates = QSslConfiguration::systemCaCertificates();
    return certificates;
}

// The TLS session of the last connection to each server, offered by the next
// new connection to it from any thread. A session belongs to the roots that
// verified it: other trusted certificates make another key, so that a session
// is never resumed where its server would no longer be trusted.
class NdTlsSessions
{
public:
    static NdTlsSessions& Instance()
    {
        static NdTlsSessions sessions;
        return sessions;
    }

    QString Key(const QUrl& url, const QList<QSslCertificate>& trusted)
    {
        return url.host().toLower() + QLatin1Char(':') + QString::number(url.port(443)) + QLatin1Char(':')
            + QString::fromLatin1(RootsDigest(trusted).toHex());
    }

    QByteArray Ticket(const QString& key) const
    {
        QMutexLocker locker(&Lock);
        return Tickets.value(key);
    }

    void Keep(const QString& key, const QByteArray& ticket)
    {
        QMutexLocker locker(&Lock);
        // A handful of servers at most; a stray flood of them only costs handshakes.
        if (Tickets.size() >= kMaxServers && !Tickets.contains(key))
            Tickets.clear();
        Tickets.insert(key, ticket);
    }

private:
    // The trusted certificates rarely change: their digest is kept, not made per request.
    QByteArray RootsDigest(const QList<QSslCertificate>& trusted)
    {
        QMutexLocker locker(&Lock);
        if (CachedRootsDigest.isEmpty() || trusted != Roots) {
            QCryptographicHash roots(QCryptographicHash::Sha256);
            for (const QSslCertificate& certificate : trusted)
                roots.addData(certificate.digest(QCryptographicHash::Sha256));
            Roots = trusted;
            CachedRootsDigest = roots.result();
        }
        return CachedRootsDigest;
    }

    static const int kMaxServers = 64;
    mutable QMutex Lock; // guards everything below
    QHash<QString, QByteArray> Tickets;
    QList<QSslCertificate> Roots;
    QByteArray CachedRootsDigest;
};

bool IsHttps(const QUrl& url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

} // namespace

NdHttpTransferWatch::NdHttpTransferWatch(QNetworkReply* reply, int windowMs, qint64 maxBytes)
    : QObject(reply), Reply(reply), ByteLimit(maxBytes)
{
    connect(
        reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) { onProgress(received, -1); });
    connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64) { onProgress(-1, sent); });
    connect(reply, &QNetworkReply::metaDataChanged, this, &NdHttpTransferWatch::onMetaData);
    connect(reply, &QNetworkReply::redirected, this, &NdHttpTransferWatch::onRedirected);
    connect(reply, &QNetworkReply::finished, this, &NdHttpTransferWatch::onFinished);
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError>& errors) {
        QStringList texts;
        for (const QSslError& error : errors)
            texts << error.errorString();
        SslErrors = texts.join(QStringLiteral("; "));
    });
    if (windowMs <= 0)
        return;
    WindowTimer.setInterval(windowMs);
    connect(&WindowTimer, &QTimer::timeout, this, &NdHttpTransferWatch::onWindowEnd);
    connect(reply, &QNetworkReply::finished, &WindowTimer, &QTimer::stop);
    WindowTimer.start();
}

NdHttpTransferWatch* NdHttpTransferWatch::Of(QNetworkReply* reply)
{
    return reply->findChild<NdHttpTransferWatch*>(QString(), Qt::FindDirectChildrenOnly);
}

void NdHttpTransferWatch::Stop()
{
    End(Stopped);
}

void NdHttpTransferWatch::End(Ending why)
{
    if (!Reply->isRunning() || EndReason != Running)
        return;
    EndReason = why;
    Reply->abort();
}

void NdHttpTransferWatch::onWindowEnd()
{
    if (WindowBytes < kMinBytesPerWindow)
        End(TimedOut);
    WindowBytes = 0;
}

// Both counts are totals of the current request; a redirect starts them anew.
void NdHttpTransferWatch::onProgress(qint64 received, qint64 sent)
{
    if (received >= 0) {
        WindowBytes += qMax<qint64>(0, received - LastReceived);
        LastReceived = received;
    }
    if (sent >= 0) {
        WindowBytes += qMax<qint64>(0, sent - LastSent);
        LastSent = sent;
    }
    if (ByteLimit > 0 && LastReceived > ByteLimit)
        End(TooLarge);
}

// A body announced beyond the cap is not waited for.
void NdHttpTransferWatch::onMetaData()
{
    const QVariant length = Reply->header(QNetworkRequest::ContentLengthHeader);
    if (ByteLimit > 0 && length.isValid() && length.toLongLong() > ByteLimit)
        End(TooLarge);
}

// Redirects start the counts of the next request anew.
void NdHttpTransferWatch::onRedirected()
{
    LastReceived = 0;
    LastSent = 0;
}

void NdHttpTransferWatch::onFinished()
{
    const QString address = NdCommHelper::LoggableAddress(Reply->request().url().toString());
    if (EndReason == TooLarge) {
        ND_LOG(LogError, "Stopped %s: the answer is larger than %lld bytes.", qUtf8Printable(address),
            static_cast<long long>(ByteLimit));
    } else if (Reply->error() == QNetworkReply::InsecureRedirectError
        || (Reply->error() == QNetworkReply::ProtocolUnknownError && Reply->url() != Reply->request().url())) {
        ND_LOG(LogError, "Refused a redirect of %s that leaves https or http.", qUtf8Printable(address));
    }
}

NdHttpManagerImpl::NdHttpManagerImpl(const QString& url)
    : Url(url)
    , Progress(std::make_shared<NdHttpManager::ProgressFn>())
    , SharedLastUrl(std::make_shared<QString>())
    , SharedLastFailure(std::make_shared<NdHttpFailure_t>())
    , OwnerToken(std::make_shared<bool>(true))
{ }

NdHttpManagerImpl::~NdHttpManagerImpl()
{
    // A download still running ends here, without its callbacks: they belong
    // to an owner that is most likely being torn down as well.
    OwnerToken.reset();
    Abort();
    if (OwnsManager)
        delete NetworkManager;
}

void NdHttpManagerImpl::SetManager(QNetworkAccessManager* manager, bool owned)
{
    if (OwnsManager && NetworkManager != manager)
        delete NetworkManager;
    NetworkManager = manager;
    OwnsManager = owned && manager != nullptr;
    FreshManager = manager == nullptr;
}

void NdHttpManagerImpl::SetHeader(const QString& name, const QString& value)
{
    ReplaceHeader(&Headers, name, value);
}

void NdHttpManagerImpl::SetProgress(NdHttpManager::ProgressFn onProgress)
{
    *Progress = std::move(onProgress);
}

QString NdHttpManagerImpl::LastUrl() const
{
    return *SharedLastUrl;
}

NdHttpFailure_t NdHttpManagerImpl::LastFailure() const
{
    return *SharedLastFailure;
}

QNetworkAccessManager* NdHttpManagerImpl::GetManager() const
{
    return NetworkManager;
}

NdHttpCache NdHttpManagerImpl::Cache()
{
    NdHttpCache cache;
    cache.OnSuccess = OnSuccess;
    cache.OnFail = OnFail;
    cache.OnComplete = OnComplete;
    cache.OnFinalUrl = OnFinalUrl;
    cache.Debug = Debug;
    cache.MaxBytes = MaxBytes;
    cache.FreshManager = FreshManager;
    cache.Charset = Charset;
    // A fresh manager is made on the firing thread, so the reply and all its
    // handlers live there.
    cache.Manager = FreshManager ? new QNetworkAccessManager : NetworkManager;
    cache.LastUrl = SharedLastUrl;
    cache.LastFailure = SharedLastFailure;
    cache.Handled = std::make_shared<bool>(false);
    return cache;
}

void NdHttpManagerImpl::SetReply(QNetworkReply* reply)
{
    CurrentDownload = reply;
}

void NdHttpManagerImpl::Abort()
{
    if (CurrentDownload && CurrentDownload->isRunning())
        CurrentDownload->abort();
}

QString NdHttpManagerImpl::EncodedParams(const ParamList& params)
{
    // Every byte outside the unreserved set is escaped, "+" included, so that
    // a form decoder on the server reads back exactly the value given.
    QStringList items;
    for (const auto& param : params)
        items << QString::fromLatin1(
            QUrl::toPercentEncoding(param.first) + '=' + QUrl::toPercentEncoding(param.second));
    return items.join('&');
}

QString NdHttpManagerImpl::ParamDebugText(const ParamList& params)
{
    QString text;
    for (int i = 0; i < params.size(); ++i) {
        const QString line = i == 0 ? QStringLiteral("[PARAM] %1=%2\n") : QStringLiteral("       %1=%2\n");
        text += line.arg(params.at(i).first, params.at(i).second);
    }
    return text;
}

QByteArray NdHttpManagerImpl::Body() const
{
    return UseJson ? Json.toUtf8() : EncodedParams(Params).toUtf8();
}

QString NdHttpManagerImpl::RequestUrl(const NdHttpManagerImpl* state, NdHttpRequestMethod method)
{
    if (method != HttpGet || state->Params.isEmpty())
        return state->Url;
    const QChar separator = state->Url.contains('?') ? QChar('&') : QChar('?');
    return state->Url + separator + EncodedParams(state->Params);
}

QHash<QString, QString> NdHttpManagerImpl::RequestHeaders(const NdHttpManagerImpl* state, NdHttpRequestMethod method)
{
    QHash<QString, QString> result = state->Headers;
    if (SendsBody(method)) {
        ReplaceHeader(&result, QStringLiteral("Content-Type"),
            state->UseJson ? QStringLiteral("application/json; charset=utf-8")
                           : QStringLiteral("application/x-www-form-urlencoded"));
    }
    ReplaceHeader(&result, QStringLiteral("User-Agent"), QString::fromLatin1(kUserAgent));
    ReplaceHeader(
        &result, QStringLiteral("Referer"), NdDeploySettings::Get().RefererBaseUrl + QStringLiteral("/NdDownloader"));
    return result;
}

void NdHttpManagerImpl::PrintRequest(const NdHttpManagerImpl* state, NdHttpRequestMethod method, const QString& url)
{
    qDebug().noquote() << "[URL]" << url;
    if (SendsBody(method) && state->UseJson)
        qDebug().noquote() << "[PARAM]" << state->Json;
    else if ((SendsBody(method) || method == HttpUpload) && !state->Params.isEmpty())
        qDebug().noquote() << ParamDebugText(state->Params);
}

void NdHttpManagerImpl::ApplyTlsConfiguration(QNetworkRequest* request)
{
    // Certificates are verified; the deployment may add its own roots on top
    // of the system's (a private platform, the tests' own CA). Also for plain
    // http: a redirect may lead to https.
    const QList<QSslCertificate> extra = NdDeploySettings::Get().TrustedCertificates;
    QSslConfiguration config = request->sslConfiguration();
    if (!extra.isEmpty())
        config.setCaCertificates(SystemCaCertificates() + extra);
    // The session only counts when the request opens a new connection.
    config.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    if (IsHttps(request->url())) {
        NdTlsSessions& sessions = NdTlsSessions::Instance();
        const QByteArray ticket = sessions.Ticket(sessions.Key(request->url(), extra));
        if (!ticket.isEmpty())
            config.setSessionTicket(ticket);
    }
    request->setSslConfiguration(config);
}

// Only a connection that was verified (or resumed a verified session) gets here
// with a session: a failed handshake leaves none.
void NdHttpManagerImpl::KeepTlsSession(QNetworkReply* reply)
{
    if (!IsHttps(reply->url()))
        return;
    const QByteArray ticket = reply->sslConfiguration().sessionTicket();
    if (ticket.isEmpty())
        return;
    NdTlsSessions& sessions = NdTlsSessions::Instance();
    sessions.Keep(sessions.Key(reply->url(), NdDeploySettings::Get().TrustedCertificates), ticket);
}

QNetworkRequest NdHttpManagerImpl::CreateRequest(NdHttpManagerImpl* state, NdHttpRequestMethod method)
{
    const QString url = RequestUrl(state, method);
    if (state->Debug)
        PrintRequest(state, method, url);
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    const QHash<QString, QString> headers = RequestHeaders(state, method);
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        request.setRawHeader(it.key().toUtf8(), it.value().toUtf8());
    // Redirects are followed only while they stay http or https (Qt refuses
    // any other scheme) and as safe as the request: https never falls back
    // to plain http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    ApplyTlsConfiguration(&request);
    return request;
}

QNetworkReply* NdHttpManagerImpl::Send(
    const NdHttpCache& cache, const QNetworkRequest& request, NdHttpRequestMethod method, const QByteArray& body)
{
    switch (method) {
    case HttpPost:
        return cache.Manager->post(request, body);
    case HttpPut:
        return cache.Manager->put(request, body);
    case HttpDelete:
        return cache.Manager->deleteResource(request);
    case HttpGet:
    case HttpUpload:
        break;
    }
    return cache.Manager->get(request);
}

QString NdHttpManagerImpl::FailureText(QNetworkReply* reply)
{
    const NdHttpTransferWatch* watch = NdHttpTransferWatch::Of(reply);
    switch (watch ? watch->Why() : NdHttpTransferWatch::Running) {
    case NdHttpTransferWatch::TimedOut:
        return QString::fromLatin1(kTimedOutText);
    case NdHttpTransferWatch::Stopped:
        return QString::fromLatin1(kStoppedText);
    case NdHttpTransferWatch::TooLarge:
        return QStringLiteral("Answer larger than %1 bytes").arg(watch->MaxBytes());
    case NdHttpTransferWatch::Running:
        break;
    }
    if (watch && !watch->SslErrorText().isEmpty())
        return reply->errorString() + QStringLiteral(": ") + watch->SslErrorText();
    return reply->errorString();
}

int NdHttpManagerImpl::FailureCode(QNetworkReply* reply)
{
    const NdHttpTransferWatch* watch = NdHttpTransferWatch::Of(reply);
    switch (watch ? watch->Why() : NdHttpTransferWatch::Running) {
    case NdHttpTransferWatch::TimedOut:
        return QNetworkReply::TimeoutError;
    case NdHttpTransferWatch::Stopped:
        return QNetworkReply::OperationCanceledError;
    case NdHttpTransferWatch::TooLarge:
        return NdHttpManager::kTooLargeError;
    case NdHttpTransferWatch::Running:
        break;
    }
    return reply->error();
}

NdHttpFailure_t NdHttpManagerImpl::Failure(QNetworkReply* reply, const QString* localError, const QString& errorText)
{
    NdHttpFailure_t failure;
    if (!localError && reply->error() == QNetworkReply::NoError)
        return failure;
    const NdHttpTransferWatch* watch = NdHttpTransferWatch::Of(reply);
    failure.Code = localError ? NdHttpManager::kLocalFileError : FailureCode(reply);
    failure.Text = localError ? *localError : errorText;
    failure.HttpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    failure.RetryAfter = reply->rawHeader("Retry-After");
    failure.CertificateError = watch && !watch->SslErrorText().isEmpty();
    return failure;
}

void NdHttpManagerImpl::Track(QNetworkReply* reply, const NdHttpCache& cache, bool replyIsText)
{
    new NdHttpTransferWatch(reply, NdDeploySettings::Get().TransferTimeoutMs, cache.MaxBytes);
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, cache, replyIsText] {
        const QString text = replyIsText ? ReadReply(reply, cache.Charset) : QString::fromLatin1(kDownloadCompleteText);
        HandleFinish(cache, reply, text, FailureText(reply));
    });
}

bool NdHttpManagerImpl::MaySend(NdHttpManagerImpl* state, const QString& url)
{
    QString problem;
    int code = QNetworkReply::NoError;
    if (!NdCommHelper::IsHttpAddress(QUrl(url, QUrl::TolerantMode))) {
        problem = QStringLiteral("Protocol refused: only http and https are fetched");
        code = QNetworkReply::ProtocolUnknownError;
        ND_LOG(LogError, "Refused %s: only http and https addresses are fetched.",
            qUtf8Printable(NdCommHelper::LoggableAddress(url)));
    } else if (NdStopScope::StopRequested()) {
        problem = QString::fromLatin1(kStoppedText);
        code = QNetworkReply::OperationCanceledError;
    } else {
        return true;
    }
    if (state->Debug)
        qDebug().noquote() << QStringLiteral("Request fail: %1").arg(problem);
    // Ended where it began, as a request that was sent would tell.
    *state->SharedLastUrl = url;
    *state->SharedLastFailure = NdHttpFailure_t{code, 0, QByteArray(), false, problem};
    if (state->OnFinalUrl)
        state->OnFinalUrl(url);
    if (state->OnFail)
        state->OnFail(problem, code);
    if (state->OnComplete)
        state->OnComplete();
    return false;
}

void NdHttpManagerImpl::WaitForFinish(QNetworkReply* reply, const NdHttpCache& cache)
{
    QPointer<QNetworkReply> replyGuard(reply);
    QPointer<QNetworkAccessManager> freshManager(cache.FreshManager ? cache.Manager : nullptr);
    if (!*cache.Handled) {
        QEventLoop loop;
        // Connected after the handler, so the callbacks have run when the loop ends.
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer stopCheck;
        QObject::connect(&stopCheck, &QTimer::timeout, reply, [reply] {
            if (NdStopScope::StopRequested())
                NdHttpTransferWatch::Of(reply)->Stop();
        });
        stopCheck.start(NdStopScope::kCheckIntervalMs);
        loop.exec();
    }
    // Freed here rather than by a later event-loop turn that a worker thread
    // without an event loop would never take. The reply is the manager's child.
    if (freshManager)
        delete freshManager;
    else
        delete replyGuard;
}

void NdHttpManagerImpl::ExecuteQuery(NdHttpManagerImpl* state, NdHttpRequestMethod method, bool sync)
{
    if (!MaySend(state, RequestUrl(state, method)))
        return;
    const NdHttpCache cache = state->Cache();
    const QNetworkRequest request = CreateRequest(state, method);
    QNetworkReply* reply = Send(cache, request, method, state->Body());
    Track(reply, cache, true);
    if (sync)
        WaitForFinish(reply, cache);
}

QString NdHttpManagerImpl::ReadReply(QNetworkReply* reply, const QString& charset)
{
    if (!reply->isReadable())
        return QString(); // aborted: nothing left to read
    QByteArray bytes = reply->readAll();
    QTextStream stream(&bytes, QIODevice::ReadOnly);
    QTextCodec* codec = QTextCodec::codecForName(charset.toLatin1());
    stream.setCodec(codec ? codec : QTextCodec::codecForName("UTF-8"));
    QString text;
    while (!stream.atEnd())
        text += stream.readLine();
    return text;
}

void NdHttpManagerImpl::HandleFinish(
    NdHttpCache cache, QNetworkReply* reply, const QString& successText, const QString& errorText)
{
    KeepTlsSession(reply);
    QString localError;
    const bool localOk = !cache.OnRelease || cache.OnRelease(&localError);
    if (!cache.OwnerGone())
        RunCallbacks(cache, reply, localOk ? nullptr : &localError, successText, errorText);
    *cache.Handled = true;
    reply->deleteLater();
    if (cache.FreshManager)
        cache.Manager->deleteLater();
}

void NdHttpManagerImpl::RunCallbacks(const NdHttpCache& cache, QNetworkReply* reply, const QString* localError,
    const QString& successText, const QString& errorText)
{
    const QString finalUrl = reply->url().toString();
    if (cache.LastUrl)
        *cache.LastUrl = finalUrl;
    const NdHttpFailure_t failure = Failure(reply, localError, errorText);
    if (cache.LastFailure)
        *cache.LastFailure = failure;
    if (cache.OnFinalUrl)
        cache.OnFinalUrl(finalUrl);

    if (failure.Failed()) {
        if (cache.Debug)
            qDebug().noquote() << QStringLiteral("Request fail: %1").arg(failure.Text);
        if (cache.OnFail)
            cache.OnFail(failure.Text, failure.Code);
    } else {
        if (cache.Debug)
            qDebug().noquote() << QStringLiteral("Request success: %1").arg(successText);
        if (cache.OnSuccess)
            cache.OnSuccess(successText);
    }
    if (cache.OnComplete)
        cache.OnComplete();
}

void NdHttpManagerImpl::ReportLocalFailure(const NdHttpManagerImpl* state, const QString& message)
{
    if (state->Debug)
        qDebug().noquote() << message;
    *state->SharedLastFailure = NdHttpFailure_t{NdHttpManager::kLocalFileError, 0, QByteArray(), false, message};
    if (state->OnFail)
        state->OnFail(message, NdHttpManager::kLocalFileError);
}

void NdHttpManagerImpl::ReportFileOpenFailure(const NdHttpManagerImpl* state, const QString& path)
{
    ReportLocalFailure(state, QStringLiteral("Failed to open file: %1").arg(path));
    ND_LOG(LogError, "Failed to open file: %s.", qUtf8Printable(path));
}

void NdHttpManagerImpl::Download(NdHttpManagerImpl* state, const QString& path, bool sync)
{
    if (!MaySend(state, state->Url))
        return;
    // The file belongs to this one request: a later download on the same
    // builder gets its own and never touches this one.
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        ReportFileOpenFailure(state, path);
        return;
    }
    auto writeFailed = std::make_shared<bool>(false);
    ChunkFn writeChunk = [file, writeFailed](const QByteArray& chunk) {
        if (file->write(chunk) == chunk.size())
            return true;
        *writeFailed = true;
        return false;
    };
    // Closed before success or fail run, so both see the whole file on disk.
    NdHttpReleaseFn closeFile = [file, writeFailed, path](QString* error) {
        const bool flushed = file->isOpen() && file->flush();
        file->close();
        if (flushed && !*writeFailed)
            return true;
        *error = QStringLiteral("Failed to write file: %1").arg(path);
        return false;
    };
    Download(state, std::move(writeChunk), sync, std::move(closeFile));
}

namespace {
constexpr qint64 kDownloadReadBufferBytes = 1 << 20;
} // namespace

void NdHttpManagerImpl::Download(NdHttpManagerImpl* state, ChunkFn onChunk, bool sync, NdHttpReleaseFn onRelease)
{
    NdHttpCache cache = state->Cache();
    cache.OnRelease = std::move(onRelease);
    cache.EndsWithOwner = true;
    cache.Owner = state->OwnerToken;
    const QNetworkRequest request = CreateRequest(state, HttpGet);
    QNetworkReply* reply = cache.Manager->get(request);
    // Qt's network thread would otherwise queue the whole body in memory
    // whenever the network outpaces the disk; a bounded buffer makes it wait.
    reply->setReadBufferSize(kDownloadReadBufferBytes);
    state->SetReply(reply);

    const auto passChunk = [reply, onChunk] {
        if (reply->bytesAvailable() > 0 && !onChunk(reply->readAll()))
            reply->abort();
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, passChunk);
    // Whatever is still buffered goes to the chunk callable before the finish
    // handler (connected next, so called after this) closes the request.
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, passChunk] {
        if (reply->error() == QNetworkReply::NoError)
            passChunk();
    });
    std::weak_ptr<NdHttpManager::ProgressFn> progress = state->Progress;
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [progress](qint64 received, qint64 total) {
        const auto onProgress = progress.lock();
        if (onProgress && *onProgress)
            (*onProgress)(received, total);
    });
    Track(reply, cache, false);
    if (sync)
        WaitForFinish(reply, cache);
}

void NdHttpManagerImpl::Upload(NdHttpManagerImpl* state, const QStringList& paths, const QByteArray& data)
{
    auto multiPart = std::make_unique<QHttpMultiPart>(QHttpMultiPart::FormDataType);
    for (const auto& param : state->Params) {
        QHttpPart part;
        part.setHeader(
            QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"%1\"").arg(param.first));
        part.setBody(param.second.toUtf8());
        multiPart->append(part);
    }
    if (paths.isEmpty()) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
            QStringLiteral("form-data; name=\"file\"; filename=\"no-name\""));
        part.setBody(data);
        multiPart->append(part);
    }
    const QString field = paths.size() == 1 ? QStringLiteral("file") : QStringLiteral("files");
    for (const QString& path : paths) {
        if (path.isEmpty())
            continue;
        auto* file = new QFile(path, multiPart.get());
        if (!file->open(QIODevice::ReadOnly)) {
            ReportLocalFailure(state, QStringLiteral("Fialed to open file[%2]: %1").arg(path, file->errorString()));
            return;
        }
        QHttpPart part;
        // Only the file's own name goes out: the folders above it are the user's business.
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
            QStringLiteral("form-data; name=\"%1\"; filename=\"%2\"").arg(field, QFileInfo(path).fileName()));
        part.setBodyDevice(file);
        multiPart->append(part);
    }

    if (!MaySend(state, state->Url))
        return;
    // The snapshot is taken only now, so that a file that cannot be opened
    // leaves no manager behind.
    const NdHttpCache cache = state->Cache();
    const QNetworkRequest request = CreateRequest(state, HttpUpload);
    QNetworkReply* reply = cache.Manager->post(request, multiPart.get());
    multiPart.release()->setParent(reply); // goes with the reply, files included
    Track(reply, cache, true);
}

// ---------------------------------------------------------------------------
// NdHttpManager: the public builder forwards to its state.

NdHttpManager::NdHttpManager(const QString& url) : Impl(new NdHttpManagerImpl(url)) { }

NdHttpManager::~NdHttpManager()
{
    delete Impl;
}

NdHttpManager& NdHttpManager::Manager(QNetworkAccessManager* manager)
{
    Impl->SetManager(manager, true);
    return *this;
}

NdHttpManager& NdHttpManager::ReuseManager(QNetworkAccessManager* manager)
{
    Impl->SetManager(manager, false);
    return *this;
}

NdHttpManager& NdHttpManager::Debug(bool debug)
{
    Impl->Debug = debug;
    return *this;
}

NdHttpManager& NdHttpManager::Param(const QString& name, const QVariant& value)
{
    Impl->Params.append({name, value.toString()});
    return *this;
}

NdHttpManager& NdHttpManager::Params(const QMap<QString, QVariant>& params)
{
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        Param(it.key(), it.value());
    return *this;
}

NdHttpManager& NdHttpManager::Json(const QString& json)
{
    Impl->Json = json;
    Impl->UseJson = true;
    return *this;
}

NdHttpManager& NdHttpManager::Header(const QString& name, const QString& value)
{
    Impl->SetHeader(name, value);
    return *this;
}

NdHttpManager& NdHttpManager::Headers(const QMap<QString, QString>& headers)
{
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        Header(it.key(), it.value());
    return *this;
}

NdHttpManager& NdHttpManager::Charset(const QString& charset)
{
    Impl->Charset = charset;
    return *this;
}

NdHttpManager& NdHttpManager::MaxBytes(qint64 bytes)
{
    Impl->MaxBytes = qMax<qint64>(0, bytes);
    return *this;
}

NdHttpManager& NdHttpManager::Success(SuccessFn onSuccess)
{
    Impl->OnSuccess = std::move(onSuccess);
    return *this;
}

NdHttpManager& NdHttpManager::Fail(FailFn onFail)
{
    Impl->OnFail = std::move(onFail);
    return *this;
}

NdHttpManager& NdHttpManager::Complete(CompleteFn onComplete)
{
    Impl->OnComplete = std::move(onComplete);
    return *this;
}

NdHttpManager& NdHttpManager::DownloadProgress(ProgressFn onProgress)
{
    Impl->SetProgress(std::move(onProgress));
    return *this;
}

NdHttpManager& NdHttpManager::FinalUrl(FinalUrlFn onFinalUrl)
{
    Impl->OnFinalUrl = std::move(onFinalUrl);
    return *this;
}

void NdHttpManager::GetAsync()
{
    NdHttpManagerImpl::ExecuteQuery(Impl, HttpGet, false);
}

void NdHttpManager::GetSync()
{
    NdHttpManagerImpl::ExecuteQuery(Impl, HttpGet, true);
}

void NdHttpManager::PostAsync()
{
    NdHttpManagerImpl::ExecuteQuery(Impl, HttpPost, false);
}

void NdHttpManager::PostSync()
{
    NdHttpManagerImpl::ExecuteQuery(Impl, HttpPost, true);
}

void NdHttpManager::PutAsync()
{
    NdHttpManagerImpl::ExecuteQuery(Impl, HttpPut, false);
}

void NdHttpManager::PutSync()
{
    NdHttpManagerImpl::ExecuteQuery(Impl, HttpPut, true);
}

void NdHttpManager::RemoveAsync()
{
    NdHttpManagerImpl::ExecuteQuery(Impl, HttpDelete, false);
}

void NdHttpManager::RemoveSync()
{
    NdHttpManagerImpl::ExecuteQuery(Impl, HttpDelete, true);
}

void NdHttpManager::Download(const QString& path)
{
    NdHttpManagerImpl::Download(Impl, path, false);
}

void NdHttpManager::DownloadSync(const QString& path)
{
    NdHttpManagerImpl::Download(Impl, path, true);
}

void NdHttpManager::Upload(const QString& path)
{
    NdHttpManagerImpl::Upload(Impl, QStringList{path}, QByteArray());
}

void NdHttpManager::Upload(const QByteArray& data)
{
    NdHttpManagerImpl::Upload(Impl, QStringList(), data);
}

void NdHttpManager::MutiUpload(const QStringList& paths)
{
    NdHttpManagerImpl::Upload(Impl, paths, QByteArray());
}

void NdHttpManager::Abort()
{
    Impl->Abort();
}

QString NdHttpManager::LastUrl() const
{
    return Impl->LastUrl();
}

NdHttpFailure_t NdHttpManager::LastFailure() const
{
    return Impl->LastFailure();
}
