// The deployment file "NdDeploy.json": server addresses, the transfer time-out
// and the extra trusted certificates, read at start-up.
#include "NdCore/NdDeploySettings.h"
#include "NdFuzzKit.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = NdFuzzScratchDir() + QStringLiteral("/NdDeploy.json");
    ND_FUZZ_CHECK(NdFuzzWriteFile(path, NdFuzzBytes(data, size)));

    // A file that is refused leaves the values in force as they were.
    NdDeploySettings::Set(NdDeploySettings());
    QString error;
    const bool loaded = NdDeploySettings::LoadFile(path, &error);
    const NdDeploySettings settings = NdDeploySettings::Get();
    if (loaded) {
        ND_FUZZ_CHECK(settings.TransferTimeoutMs >= 1);
    } else {
        ND_FUZZ_CHECK(!error.isEmpty());
        ND_FUZZ_CHECK(settings.AdminBaseUrls[0] == NdDeploySettings().AdminBaseUrls[0]);
        ND_FUZZ_CHECK(settings.TransferTimeoutMs == NdDeploySettings().TransferTimeoutMs);
    }
    return 0;
}
