// The suite's stand-in for libFuzzer: feeds every file of the committed corpus
// (or of the folders and files named on the command line) to the target once,
// so an input that once broke a parser keeps being tried without clang.
#include "NdFuzzKit.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QStringList>

namespace {
QStringList CorpusFiles(const QString& path)
{
    if (QFileInfo(path).isFile())
        return {path};
    QStringList files;
    QDirIterator it(path, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}
} // namespace

int main(int argc, char** argv)
{
    QStringList roots;
    for (int i = 1; i < argc; ++i)
        roots << QString::fromLocal8Bit(argv[i]);
    if (roots.isEmpty())
        roots << QStringLiteral(ND_FUZZ_CORPUS);
    int replayed = 0;
    for (const QString& root : roots) {
        for (const QString& file : CorpusFiles(root)) {
            // Named first, so a crash points at its input.
            std::fprintf(stderr, "replaying %s\n", qPrintable(file));
            const QByteArray input = NdReadFile(file);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
            ++replayed;
        }
    }
    std::fprintf(stderr, "%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
