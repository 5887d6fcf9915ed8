// The platform server's answers: the videos behind a token (get_download_data)
// and the update offer (get_download_link). Every input goes to both readers.
#include "NdFuzzKit.h"
#include "NdServerAnswer.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));

    NdTokenAnswer_t answer;
    if (NdServerAnswer::ReadTokenAnswer(text, answer)) {
        for (const DownloadTaskParam_t& task : answer.Tasks) {
            ND_FUZZ_CHECK(task.VideoName.find_first_of("?|:\"<\\/") == std::string::npos);
            ND_FUZZ_CHECK(task.AppId == answer.AppId && task.UserId == answer.UserId && task.VideoState == 0);
        }
    }

    // A refused or broken update answer offers nothing.
    NdSoftVersion_t version;
    version.Version = "1.0.4";
    if (!NdServerAnswer::ReadVersionAnswer(text, version)) {
        ND_FUZZ_CHECK(
            version.Version == "1.0.4" && version.Msg.empty() && version.DownloadUrl.empty() && !version.MustUpdate);
    }
    return 0;
}
