// Measures the HTTP client's download path against a loopback HTTPS server:
// throughput of one large download, of 25 concurrent segment-sized downloads
// (five tasks with five segments each, as the engine runs them), and the
// process's peak resident memory, which must stay flat because bodies are
// streamed to disk chunk by chunk.
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdHttpManager.h"
#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {
long PeakRssMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

bool WriteRandomFile(const QString& path, qint64 megabytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = char((i * 131 + 7) & 0xff);
    for (qint64 i = 0; i < megabytes; ++i) {
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

bool DownloadOnce(const QString& url, const QString& target)
{
    bool ok = false;
    NdHttpManager request(url);
    request.Success([&ok](const QString&) { ok = true; }).DownloadSync(target);
    return ok && QFileInfo(target).exists();
}

void Report(const char* what, qint64 bytes, qint64 elapsedMs, bool ok)
{
    const double seconds = qMax<qint64>(elapsedMs, 1) / 1000.0;
    std::printf("%-34s %s  %8.1f MB in %6.2f s  = %7.1f MB/s  peak RSS %ld MB\n", what, ok ? "ok  " : "FAIL",
        bytes / 1048576.0, seconds, bytes / 1048576.0 / seconds, PeakRssMb());
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    NdTestInitEnvironment();
    const qint64 bigMb = argc > 1 ? QByteArray(argv[1]).toLongLong() : 256;
    const int segmentMb = 4;

    QTemporaryDir dir;
    const QString bigFile = dir.filePath(QStringLiteral("big.bin"));
    const QString segmentFile = dir.filePath(QStringLiteral("segment.bin"));
    if (!WriteRandomFile(bigFile, bigMb) || !WriteRandomFile(segmentFile, segmentMb)) {
        std::fprintf(stderr, "cannot write the test files\n");
        return 1;
    }

    NdTestHttpServer server(NdTestHttpServer::Tls);
    server.Route("/big.bin", [&](const NdTestRequest&) {
        NdTestResponse response;
        response.FilePath = bigFile;
        return response;
    });
    server.Route("/segment.bin", [&](const NdTestRequest&) {
        NdTestResponse response;
        response.FilePath = segmentFile;
        return response;
    });
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start the loopback server\n");
        return 1;
    }
    NdDeploySettings settings;
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    NdDeploySettings::Set(settings);

    std::printf("peak RSS before downloading: %ld MB\n", PeakRssMb());

    QElapsedTimer clock;
    clock.start();
    const bool bigOk = DownloadOnce(server.BaseUrl() + QStringLiteral("/big.bin"), dir.filePath("out-big.bin"));
    Report("one download", bigMb << 20, clock.elapsed(), bigOk);

    const int threads = 25;
    std::atomic<int> succeeded{0};
    std::vector<std::unique_ptr<QThread>> workers;
    clock.restart();
    for (int i = 0; i < threads; ++i) {
        const QString target = dir.filePath(QStringLiteral("out-%1.ts").arg(i + 1));
        workers.emplace_back(QThread::create([&server, &succeeded, target] {
            if (DownloadOnce(server.BaseUrl() + QStringLiteral("/segment.bin"), target))
                ++succeeded;
        }));
        workers.back()->start();
    }
    for (auto& worker : workers)
        worker->wait();
    Report(
        "25 concurrent segment downloads", qint64(threads) * (segmentMb << 20), clock.elapsed(), succeeded == threads);
    return bigOk && succeeded == threads ? 0 : 1;
}
