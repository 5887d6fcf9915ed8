#pragma once

#include "NdCore/NdCoreExport.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class QNetworkAccessManager;
class NdHttpManagerImpl;

// What a failed request tells besides its text: enough to decide whether it is
// worth another try.
struct NdHttpFailure_t
{
    int Code = 0;                  // as the fail callback gets it; 0 after a success
    int HttpStatus = 0;            // the server's status; 0 when no answer came
    QByteArray RetryAfter;         // the answer's Retry-After header, as sent
    bool CertificateError = false; // the TLS handshake failed on the certificate
    QString Text;

    bool Failed() const { return Code != 0; }
};

enum NdHttpRequestMethod
{
    HttpGet = 0,
    HttpPost = 1,
    HttpPut = 2,
    HttpDelete = 3,
    HttpUpload = 4,
};

// Fluent HTTP request builder. Configure with chained calls, then fire once.
// Callbacks run on the firing thread: success or fail, then complete. The
// synchronous forms return after the callbacks have run. A request may outlive
// its builder, except a download: destroying the builder ends its running
// download, and none of that download's callbacks runs afterwards.
// Only http and https addresses are fetched. Server certificates are verified
// (the system's roots plus the deployment's trusted certificates); a transfer
// that moves fewer than 16 KiB in a whole time-out window of the deployment
// fails with "Transfer timed out"; redirects are followed while they stay http
// or https and never fall back from https. A synchronous request ends soon
// after the firing thread's stop check (NdStopScope) says stop. A new HTTPS connection offers the TLS session of
// the last one to the same host and port, so a server that allows it resumes
// the session instead of a full handshake.
class NDCORE_EXPORT NdHttpManager
{
public:
    using SuccessFn = std::function<void(const QString&)>;
    using FailFn = std::function<void(const QString&, int)>;
    using CompleteFn = std::function<void()>;
    using ProgressFn = std::function<void(long long, long long)>;
    using FinalUrlFn = std::function<void(const QString&)>;

    // Fail codes besides Qt's network errors.
    static constexpr int kLocalFileError = -1;
    static constexpr int kTooLargeError = -2; // the answer went beyond MaxBytes

    explicit NdHttpManager(const QString& url);
    virtual ~NdHttpManager();
    NdHttpManager(const NdHttpManager&) = delete;
    NdHttpManager& operator=(const NdHttpManager&) = delete;

    // Hands the builder a manager of the caller's making; the builder deletes it.
    NdHttpManager& Manager(QNetworkAccessManager* manager);
    // Sends with a manager that the caller keeps for many requests, so that its
    // connections stay open from one request to the next. It must live on the
    // firing thread and outlive the request; the builder never deletes it.
    NdHttpManager& ReuseManager(QNetworkAccessManager* manager);
    NdHttpManager& Debug(bool debug);
    NdHttpManager& Param(const QString& name, const QVariant& value);
    NdHttpManager& Params(const QMap<QString, QVariant>& params);
    NdHttpManager& Json(const QString& json);
    NdHttpManager& Header(const QString& name, const QString& value);
    NdHttpManager& Headers(const QMap<QString, QString>& headers);
    NdHttpManager& Charset(const QString& charset);
    // An answer longer than this (announced or received) ends the request as
    // failed with kTooLargeError. 0, the default: no cap.
    NdHttpManager& MaxBytes(qint64 bytes);
    NdHttpManager& Success(SuccessFn onSuccess);
    NdHttpManager& Fail(FailFn onFail);
    NdHttpManager& Complete(CompleteFn onComplete);
    NdHttpManager& DownloadProgress(ProgressFn onProgress);
    // Called with the address a sent request finally reached (after any
    // redirects), just before its success or fail callback.
    NdHttpManager& FinalUrl(FinalUrlFn onFinalUrl);

    void GetAsync();
    void GetSync();
    void PostAsync();
    void PostSync();
    void PutAsync();
    void PutSync();
    void RemoveAsync();
    void RemoveSync();
    void Download(const QString& path);
    void DownloadSync(const QString& path);
    void Upload(const QString& path);
    void Upload(const QByteArray& data);
    void MutiUpload(const QStringList& paths);
    void Abort();

    // The address the last finished request of this builder finally reached
    // (after any redirects); empty until one has finished. Read it after a
    // synchronous call returns, or from the complete callback.
    QString LastUrl() const;
    // How the last finished request of this builder failed; Code 0 when it
    // succeeded or none has finished.
    NdHttpFailure_t LastFailure() const;

private:
    NdHttpManagerImpl* Impl;
};
