#pragma once

#include "INdDownloaderBackEnd.h"

#include <QString>

#include <string>
#include <vector>

// What a get_download_data answer grants: one record per video, and the ids of
// the user they belong to.
struct NdTokenAnswer_t
{
    std::vector<DownloadTaskParam_t> Tasks;
    std::string UserId;
    std::string AppId;
};

// Reads the answers of the platform's server. Pure functions of the answer text,
// so that the backend and the fuzz targets go through the same rules.
class NdServerAnswer
{
public:
    // Cap on what a server sends back: its answers are small documents.
    static constexpr qint64 kMaxAnswerBytes = 4 << 20;

    // True for a successful answer ("code" 0); false for a refusal, for text
    // that is not one JSON object and for members of the wrong type.
    static bool ReadTokenAnswer(const QString& text, NdTokenAnswer_t& answer);
    // True when the answer offers a version; version is only changed then.
    static bool ReadVersionAnswer(const QString& text, NdSoftVersion_t& version);
};
