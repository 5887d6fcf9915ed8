#include "NdSegmentFetch.h"

#include "NdRetryPolicy.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdHttpManager.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {
const qint64 kMaxSegmentBytes = qint64(1) << 30;
} // namespace

void NdSegmentFetch::Download(const std::string& tsUrl, const std::string& filePath, const SuccessFn& onSuccess,
    const FailFn& onFail, const ProgressFn& onProgress, QNetworkAccessManager* manager)
{
    const QString target = NdCommHelper::FromUtf8(filePath);
    const QString partial = target + QStringLiteral(".part");
    NdHttpFailure_t outcome = NdRetryPolicy::Run(
        QStringLiteral("segment %1").arg(QFileInfo(target).completeBaseName()), [&] {
            NdHttpManager request(NdCommHelper::FromUtf8(tsUrl));
            request.ReuseManager(manager).MaxBytes(kMaxSegmentBytes).DownloadProgress(onProgress).DownloadSync(partial);
            return request.LastFailure();
        });
    if (!outcome.Failed()
        && ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(target).constData()) != 0)
        outcome = NdHttpFailure_t{NdHttpManager::kLocalFileError, 0, QByteArray(), false,
            QStringLiteral("Failed to write file: %1").arg(target)};
    if (outcome.Failed() && onFail)
        onFail(outcome.Text, outcome.Code);
    else if (!outcome.Failed() && onSuccess)
        onSuccess(QStringLiteral("Download complete."));
}
