#pragma once

#include <QString>

#include <functional>
#include <string>

class QNetworkAccessManager;

// Brings one segment of a lesson into one file, through the verified client
// and with retries for transient failures. The segment arrives under
// "<file>.part" and takes its final name only whole: a resumed task never
// counts a half file, an aborted or retried transfer never leaves one.
class NdSegmentFetch
{
public:
    using SuccessFn = std::function<void(const QString&)>;
    using FailFn = std::function<void(const QString& error, int code)>;
    using ProgressFn = std::function<void(long long received, long long total)>;

    // Returns once the segment is on disk or has failed for good; exactly one
    // of onSuccess and onFail has run then, on the calling thread. manager: a
    // long-lived manager of the calling thread, whose connection then carries
    // over to its next segment; null: one of the segment's own.
    static void Download(const std::string& tsUrl, const std::string& filePath, const SuccessFn& onSuccess,
        const FailFn& onFail, const ProgressFn& onProgress, QNetworkAccessManager* manager);
};
