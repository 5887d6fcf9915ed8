#pragma once

#include "NdCore/NdCoreExport.h"
#include "NdCore/NdHttpManager.h"

#include <QHash>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

// Gives up a local resource of a request (the download file) before its
// callbacks run; returns false with a message when the local side failed.
using NdHttpReleaseFn = std::function<bool(QString* error)>;

// What a request keeps of its builder from the moment it starts, so that it
// can outlive the builder.
struct NdHttpCache
{
    NdHttpManager::SuccessFn OnSuccess;
    NdHttpManager::FailFn OnFail;
    NdHttpManager::CompleteFn OnComplete;
    NdHttpManager::FinalUrlFn OnFinalUrl;
    bool Debug = false;
    bool FreshManager = true;
    qint64 MaxBytes = 0;
    QString Charset;
    QNetworkAccessManager* Manager = nullptr;
    std::shared_ptr<QString> LastUrl;             // shared with the builder, which may be gone by the end
    std::shared_ptr<NdHttpFailure_t> LastFailure; // likewise
    NdHttpReleaseFn OnRelease;
    // Set once the finish has been handled: a synchronous call waits for this,
    // not for the reply's own state, which can read finished before its signal.
    std::shared_ptr<bool> Handled;
    // Downloads end with their builder: once it is gone, no callback runs.
    bool EndsWithOwner = false;
    std::weak_ptr<void> Owner;

    bool OwnerGone() const { return EndsWithOwner && Owner.expired(); }

    NdHttpCache() = default;
    NdHttpCache(const NdHttpCache&) = default;
    NdHttpCache(NdHttpCache&&) = default;
    NdHttpCache& operator=(const NdHttpCache&) = default;
    NdHttpCache& operator=(NdHttpCache&&) = default;
};

// Watches one reply and ends it when it must not go on: a time-out window in
// which too little arrived, a body beyond its cap, or the firing thread's stop
// check. Keeps why, and the certificate errors, so that the failure can be
// told in words; logs a body beyond its cap and a refused redirect.
class NdHttpTransferWatch : public QObject
{
    Q_OBJECT

public:
    enum Ending
    {
        Running,
        TimedOut,
        TooLarge,
        Stopped,
    };

    NdHttpTransferWatch(QNetworkReply* reply, int windowMs, qint64 maxBytes);

    static NdHttpTransferWatch* Of(QNetworkReply* reply);
    Ending Why() const { return EndReason; }
    qint64 MaxBytes() const { return ByteLimit; }
    QString SslErrorText() const { return SslErrors; }
    // Ends the reply as stopped; called when the thread's stop check says so.
    void Stop();

    // Fewer bytes than this in a whole time-out window is a stall, even when
    // some keep trickling in.
    static constexpr qint64 kMinBytesPerWindow = 16 * 1024;

private:
    void onWindowEnd();
    void onProgress(qint64 received, qint64 sent);
    void onMetaData();
    void onRedirected();
    void onFinished();
    void End(Ending why);

    QNetworkReply* Reply;
    QTimer WindowTimer;
    const qint64 ByteLimit;
    qint64 WindowBytes = 0;
    qint64 LastReceived = 0;
    qint64 LastSent = 0;
    Ending EndReason = Running;
    QString SslErrors;
};

// The builder's state and the work behind NdHttpManager.
class NDCORE_EXPORT NdHttpManagerImpl
{
public:
    using ChunkFn = std::function<bool(const QByteArray&)>; // false: stop the transfer
    using ParamList = QList<QPair<QString, QString>>;

    explicit NdHttpManagerImpl(const QString& url);
    virtual ~NdHttpManagerImpl();
    NdHttpManagerImpl(const NdHttpManagerImpl&) = delete;
    NdHttpManagerImpl& operator=(const NdHttpManagerImpl&) = delete;

    static void ExecuteQuery(NdHttpManagerImpl* state, NdHttpRequestMethod method, bool sync);
    static QNetworkRequest CreateRequest(NdHttpManagerImpl* state, NdHttpRequestMethod method);
    static void Download(NdHttpManagerImpl* state, const QString& path, bool sync);
    static void Download(NdHttpManagerImpl* state, ChunkFn onChunk, bool sync, NdHttpReleaseFn onRelease = {});
    static void Upload(NdHttpManagerImpl* state, const QStringList& paths, const QByteArray& data);
    static void HandleFinish(
        NdHttpCache cache, QNetworkReply* reply, const QString& successText, const QString& errorText);

    NdHttpCache Cache();
    QNetworkAccessManager* GetManager() const;
    static QString ReadReply(QNetworkReply* reply, const QString& charset);
    void SetReply(QNetworkReply* reply);
    void Abort();

    void SetManager(QNetworkAccessManager* manager, bool owned);
    void SetHeader(const QString& name, const QString& value);
    void SetProgress(NdHttpManager::ProgressFn onProgress);
    QString LastUrl() const;
    NdHttpFailure_t LastFailure() const;

    QString Url;
    QString Json;
    ParamList Params;
    QString Charset = QStringLiteral("UTF-8");
    QHash<QString, QString> Headers;
    bool UseJson = false;
    bool Debug = false;
    qint64 MaxBytes = 0; // 0: no cap
    NdHttpManager::SuccessFn OnSuccess;
    NdHttpManager::FailFn OnFail;
    NdHttpManager::CompleteFn OnComplete;
    NdHttpManager::FinalUrlFn OnFinalUrl;

private:
    static QString EncodedParams(const ParamList& params);
    static QString ParamDebugText(const ParamList& params);
    static QString RequestUrl(const NdHttpManagerImpl* state, NdHttpRequestMethod method);
    static QHash<QString, QString> RequestHeaders(const NdHttpManagerImpl* state, NdHttpRequestMethod method);
    static void PrintRequest(const NdHttpManagerImpl* state, NdHttpRequestMethod method, const QString& url);
    static void ApplyTlsConfiguration(QNetworkRequest* request);
    static void KeepTlsSession(QNetworkReply* reply);
    static QNetworkReply* Send(
        const NdHttpCache& cache, const QNetworkRequest& request, NdHttpRequestMethod method, const QByteArray& body);
    static void Track(QNetworkReply* reply, const NdHttpCache& cache, bool replyIsText);
    // False, after the failure callbacks have run, when the request must not
    // be sent: its scheme is neither http nor https, or the thread must stop.
    static bool MaySend(NdHttpManagerImpl* state, const QString& url);
    static void WaitForFinish(QNetworkReply* reply, const NdHttpCache& cache);
    static void RunCallbacks(const NdHttpCache& cache, QNetworkReply* reply, const QString* localError,
        const QString& successText, const QString& errorText);
    static void ReportFileOpenFailure(const NdHttpManagerImpl* state, const QString& path);
    static void ReportLocalFailure(const NdHttpManagerImpl* state, const QString& message);
    static QString FailureText(QNetworkReply* reply);
    static int FailureCode(QNetworkReply* reply);
    static NdHttpFailure_t Failure(QNetworkReply* reply, const QString* localError, const QString& errorText);
    QByteArray Body() const;

    QNetworkAccessManager* NetworkManager = nullptr; // handed over by the caller, or lent (see OwnsManager)
    bool OwnsManager = false;
    bool FreshManager = true;
    // Shared with running downloads, which read it at each report while the
    // builder lives and stop reading it once it is gone.
    std::shared_ptr<NdHttpManager::ProgressFn> Progress;
    std::shared_ptr<QString> SharedLastUrl;
    std::shared_ptr<NdHttpFailure_t> SharedLastFailure;
    std::shared_ptr<bool> OwnerToken; // expires with the builder; downloads watch it
    QPointer<QNetworkReply> CurrentDownload;
};
