// The platform server's answers: the videos behind a token (get_download_data)
// and the update offer (get_download_link). Every input goes to both readers.
#include "NdFuzzKit.h"
#include "NdServerAnswer.h"

#include <string>

namespace {
bool HasForbiddenNameCharacter(const std::string& name)
{
    return name.find_first_of("?|:\"<\\/") != std::string::npos;
}

bool SameVersion(const NdSoftVersion_t& a, const NdSoftVersion_t& b)
{
    return a.Version == b.Version && a.Msg == b.Msg && a.DownloadUrl == b.DownloadUrl && a.MustUpdate == b.MustUpdate;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));

    NdTokenAnswer_t answer;
    if (NdServerAnswer::ReadTokenAnswer(text, answer)) {
        for (const DownloadTaskParam_t& task : answer.Tasks) {
            ND_FUZZ_CHECK(!HasForbiddenNameCharacter(task.VideoName));
            ND_FUZZ_CHECK(task.AppId == answer.AppId && task.UserId == answer.UserId);
            ND_FUZZ_CHECK(task.VideoState == 0);
        }
    }

    NdSoftVersion_t version;
    version.Version = "1.0.4";
    const NdSoftVersion_t before = version;
    if (!NdServerAnswer::ReadVersionAnswer(text, version))
        ND_FUZZ_CHECK(SameVersion(version, before)); // a refused or broken answer offers nothing
    return 0;
}
