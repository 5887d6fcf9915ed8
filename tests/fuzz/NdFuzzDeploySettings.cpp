// The deployment file "NdDeploy.json": server addresses, the transfer time-out
// and the extra trusted certificates, read at start-up.
#include "NdCore/NdDeploySettings.h"
#include "NdFuzzKit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = NdFuzzScratchDir() + QStringLiteral("/NdDeploy.json");
    ND_FUZZ_CHECK(NdWriteFile(path, NdFuzzBytes(data, size)));

    // A file that is refused leaves the values in force as they were.
    const NdDeploySettings before;
    NdDeploySettings::Set(before);
    QString error;
    const bool loaded = NdDeploySettings::LoadFile(path, &error);
    const NdDeploySettings settings = NdDeploySettings::Get();
    // ping never gets an option for a host.
    ND_FUZZ_CHECK(loaded ? settings.TransferTimeoutMs >= 1 && !settings.ProbeHost.startsWith(QLatin1Char('-'))
                         : !error.isEmpty() && settings.AdminBaseUrls[0] == before.AdminBaseUrls[0]
                && settings.TransferTimeoutMs == before.TransferTimeoutMs);
    return 0;
}
