#include "NdSampleLessons.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

namespace {
// Bump when the recipes change, so stale caches are not served.
const char* const kGenerationName = "lessons-v1";
const char* const kBenchGenerationName = "bench-v1";
const int kGenerateTimeoutMs = 60000;
// Long lessons take longer to make: this much more per second of media.
const int kGenerateMsPerSecond = 1000;
const int kLockTimeoutMs = 180000;

struct NdMasterVariant_t
{
    const char* Folder;
    const char* Size;
    int Bandwidth;
};

// The highest variant sits in the middle, so a client that simply takes the
// first or the last entry does not pick it by chance.
const NdMasterVariant_t kMasterVariants[] = {
    {"v160x120", "160x120", 200000},
    {"v320x240", "320x240", 800000},
    {"v256x144", "256x144", 400000},
};

const NdMasterVariant_t& HighestMasterVariant()
{
    const NdMasterVariant_t* best = &kMasterVariants[0];
    for (const NdMasterVariant_t& variant : kMasterVariants) {
        if (variant.Bandwidth > best->Bandwidth)
            best = &variant;
    }
    return *best;
}

QList<NdSampleLesson_t> Catalogue()
{
    auto lesson = [](const char* name, const QString& title, NdSampleLesson_t::Kind kind, const char* source, int tone,
                      bool sizeAsText, int seconds = 4) {
        NdSampleLesson_t l;
        l.Name = QString::fromLatin1(name);
        l.Title = title;
        l.LessonKind = kind;
        l.VideoSource = QString::fromLatin1(source);
        l.ToneHz = tone;
        l.SizeAsText = sizeAsText;
        l.Seconds = seconds;
        return l;
    };
    // Many small segments: a soak of a long lesson that costs little to make.
    NdSampleLesson_t many
        = lesson("many", QStringLiteral("Many segments (200)"), NdSampleLesson_t::Plain, "testsrc", 220, true, 200);
    many.PictureSize = QStringLiteral("160x120");
    // Segments of uneven length (2.28, 1.52 and 1.16 s): cut at the first key
    // frame, every 0.76 s, after each 1.7 s.
    NdSampleLesson_t odd
        = lesson("odd", QStringLiteral("Odd segments"), NdSampleLesson_t::Plain, "testsrc2", 500, true, 8);
    odd.PictureSize = QStringLiteral("160x120");
    odd.SegmentSeconds = 1.7;
    odd.KeyFrameFrames = 19;
    return {
        lesson("plain", QStringLiteral("第1课: 入门?"), NdSampleLesson_t::Plain, "testsrc", 440, true),
        lesson(
            "plain2", QStringLiteral("Lesson 2 - Tom's notes & more"), NdSampleLesson_t::Plain, "testsrc2", 550, false),
        lesson(
            "plain3", QStringLiteral("第3课 复习 (100% done=yes) *"), NdSampleLesson_t::Plain, "smptebars", 660, true),
        lesson("aes", QStringLiteral("加密课程 AES-128"), NdSampleLesson_t::Aes, "testsrc", 770, false),
        lesson("master", QStringLiteral("多码率 \"Master\" <3 variants>"), NdSampleLesson_t::Master, "testsrc2", 880,
            true),
        lesson("fmp4", QStringLiteral("fMP4 lesson / part|1"), NdSampleLesson_t::Fmp4, "smptebars", 990, false),
        lesson("long", QStringLiteral("长课程 Long lesson (12 segments)"), NdSampleLesson_t::Plain, "testsrc2", 330,
            false, 12),
        many,
        odd,
    };
}

QList<NdSampleLesson_t> BenchCatalogue()
{
    auto lesson = [](const char* name, const QString& title, const char* size, int seconds, int segmentSeconds,
                      const char* bitrate) {
        NdSampleLesson_t l;
        l.Name = QString::fromLatin1(name);
        l.Title = title;
        l.VideoSource = QStringLiteral("testsrc2");
        l.Seconds = seconds;
        l.BenchOnly = true;
        l.PictureSize = QString::fromLatin1(size);
        l.SegmentSeconds = segmentSeconds;
        l.VideoBitrate = QString::fromLatin1(bitrate);
        return l;
    };
    NdSampleLesson_t aes = lesson("benchaes", QStringLiteral("Bench AES 150 x 1 s"), "640x360", 150, 1, "800k");
    aes.LessonKind = NdSampleLesson_t::Aes;
    return {
        lesson("bench600", QStringLiteral("Bench 600 x 1 s"), "640x360", 600, 1, "800k"),
        lesson("bench720", QStringLiteral("Bench 60 x 4 s 720p"), "1280x720", 240, 4, "2500k"),
        aes,
    };
}

bool RunFfmpeg(const QStringList& args, int timeoutMs, QString* error)
{
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
    ffmpeg.start(NdSampleLessons::FfmpegProgram(), QStringList{"-hide_banner", "-loglevel", "error", "-y"} + args);
    if (!ffmpeg.waitForStarted()) {
        *error = QStringLiteral("cannot start ffmpeg: %1").arg(ffmpeg.errorString());
        return false;
    }
    if (!ffmpeg.waitForFinished(timeoutMs)) {
        ffmpeg.kill();
        ffmpeg.waitForFinished();
        *error = QStringLiteral("ffmpeg took too long");
        return false;
    }
    if (ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0) {
        *error = QStringLiteral("ffmpeg failed (exit code %1, %2): %3")
                     .arg(ffmpeg.exitCode())
                     .arg(ffmpeg.exitStatus() == QProcess::NormalExit ? "normal exit" : "crashed or killed")
                     .arg(QString::fromLocal8Bit(ffmpeg.readAll()));
        return false;
    }
    return true;
}

bool WriteFile(const QString& path, const QByteArray& data, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool IsMediaFile(const QString& fileName)
{
    return fileName.endsWith(QLatin1String(".ts")) || fileName.endsWith(QLatin1String(".m4s"))
        || fileName == QLatin1String("init.mp4");
}
} // namespace

NdSampleLessons::NdSampleLessons(const QString& cacheDir, bool withBenchLessons)
    : CacheFolder(QDir(cacheDir).absolutePath()), Lessons(Catalogue())
{
    if (withBenchLessons)
        Lessons += BenchCatalogue();
}

QString NdSampleLessons::FfmpegProgram()
{
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/ffmpeg");
    return QFileInfo(beside).isExecutable() ? beside : QStringLiteral("ffmpeg");
}

const NdSampleLesson_t* NdSampleLessons::Find(const QString& name) const
{
    for (const NdSampleLesson_t& lesson : Lessons) {
        if (lesson.Name == name)
            return &lesson;
    }
    return nullptr;
}

QString NdSampleLessons::GenerationDir(bool bench) const
{
    return CacheFolder + QLatin1Char('/') + QLatin1String(bench ? kBenchGenerationName : kGenerationName);
}

QString NdSampleLessons::LessonDir(const QString& name) const
{
    const NdSampleLesson_t* lesson = Find(name);
    return GenerationDir(lesson && lesson->BenchOnly) + QLatin1Char('/') + name;
}

bool NdSampleLessons::Prepare(QString* error)
{
    for (const bool bench : {false, true}) {
        const bool wanted = !bench
            || std::any_of(Lessons.cbegin(), Lessons.cend(), [](const NdSampleLesson_t& l) { return l.BenchOnly; });
        if (!wanted)
            continue;
        if (!QDir().mkpath(GenerationDir(bench))) {
            *error = QStringLiteral("cannot create %1").arg(GenerationDir(bench));
            return false;
        }
        if (!GenerateMissing(bench, error))
            return false;
    }
    for (NdSampleLesson_t& lesson : Lessons)
        lesson.MediaBytes = MeasureMediaBytes(lesson);
    return true;
}

// The benchmark's lessons have a cache and a lock of their own, so that making
// them never holds up a test's platform.
bool NdSampleLessons::GenerateMissing(bool bench, QString* error)
{
    const QString generationDir = GenerationDir(bench);
    // The lock only saves a second process from doing the same work; the
    // rename below is what keeps half-made lessons out of sight.
    QLockFile lock(generationDir + QStringLiteral("/.generating.lock"));
    lock.setStaleLockTime(0); // stale only when its owner is gone
    if (!lock.tryLock(kLockTimeoutMs)) {
        *error = QStringLiteral("cannot lock the lesson cache %1").arg(generationDir);
        return false;
    }
    RemoveAbandonedWork(generationDir);
    for (const NdSampleLesson_t& lesson : Lessons) {
        if (lesson.BenchOnly != bench || QFileInfo::exists(LessonDir(lesson.Name)))
            continue;
        QTemporaryDir work(generationDir + QStringLiteral("/.making-%1-XXXXXX").arg(lesson.Name));
        if (!work.isValid()) {
            *error = QStringLiteral("cannot create a work folder in %1").arg(generationDir);
            return false;
        }
        const QString staged = work.path() + QStringLiteral("/lesson");
        if (!QDir().mkpath(staged) || !Generate(lesson, staged, error))
            return false;
        if (!QDir().rename(staged, LessonDir(lesson.Name)) && !QFileInfo::exists(LessonDir(lesson.Name))) {
            *error = QStringLiteral("cannot move the lesson %1 into place").arg(lesson.Name);
            return false;
        }
    }
    return true;
}

// Work folders left by a generator that was killed; with the lock held no
// other process is generating, so every one of them is abandoned.
void NdSampleLessons::RemoveAbandonedWork(const QString& generationDir) const
{
    const QDir generation(generationDir);
    for (const QString& name : generation.entryList({QStringLiteral(".making-*")}, QDir::Dirs | QDir::Hidden))
        QDir(generation.filePath(name)).removeRecursively();
}

bool NdSampleLessons::Generate(const NdSampleLesson_t& lesson, const QString& targetDir, QString* error) const
{
    switch (lesson.LessonKind) {
    case NdSampleLesson_t::Plain:
        return GenerateMedia(lesson, targetDir, lesson.PictureSize, {}, error);
    case NdSampleLesson_t::Aes:
        return GenerateAes(lesson, targetDir, error);
    case NdSampleLesson_t::Master:
        return GenerateMaster(lesson, targetDir, error);
    case NdSampleLesson_t::Fmp4:
        return GenerateMedia(lesson, targetDir, QStringLiteral("320x240"),
            {"-hls_segment_type", "fmp4", "-hls_fmp4_init_filename", "init.mp4"}, error);
    }
    return false;
}

bool NdSampleLessons::GenerateMedia(const NdSampleLesson_t& lesson, const QString& dir, const QString& size,
    const QStringList& extraArgs, QString* error) const
{
    const QString duration = QString::number(lesson.Seconds);
    const QString extension
        = lesson.LessonKind == NdSampleLesson_t::Fmp4 ? QStringLiteral("m4s") : QStringLiteral("ts");
    // Key frames at fixed places (no scene-cut frames) decide where the
    // segments are cut: every second unless the lesson says otherwise.
    const QString keyFrames = QString::number(lesson.KeyFrameFrames);
    QStringList args{"-f", "lavfi", "-i",
        QStringLiteral("%1=size=%2:rate=25:duration=%3").arg(lesson.VideoSource, size, duration), "-f", "lavfi", "-i",
        QStringLiteral("sine=frequency=%1:sample_rate=44100:duration=%2").arg(lesson.ToneHz).arg(duration), "-c:v",
        "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", keyFrames, "-keyint_min", keyFrames,
        "-sc_threshold", "0"};
    if (!lesson.VideoBitrate.isEmpty())
        args += QStringList{
            "-b:v", lesson.VideoBitrate, "-maxrate", lesson.VideoBitrate, "-bufsize", lesson.VideoBitrate};
    args += QStringList{"-c:a", "aac", "-b:a", "64k", "-f", "hls", "-hls_time", QString::number(lesson.SegmentSeconds),
        "-hls_playlist_type", "vod", "-start_number", "1"};
    args += extraArgs;
    args += QStringList{"-hls_segment_filename", dir + QStringLiteral("/seg%d.") + extension,
        dir + QLatin1Char('/') + QStringLiteral("index.m3u8")};
    return RunFfmpeg(args, kGenerateTimeoutMs + lesson.Seconds * kGenerateMsPerSecond, error);
}

bool NdSampleLessons::GenerateAes(const NdSampleLesson_t& lesson, const QString& dir, QString* error) const
{
    // A fixed key and IV keep the lesson the same in every cache.
    const QByteArray key = QCryptographicHash::hash("NdSamplePlatform aes key", QCryptographicHash::Sha256).left(16);
    const QByteArray iv = QCryptographicHash::hash("NdSamplePlatform aes iv", QCryptographicHash::Sha256).left(16);
    const QString keyPath = dir + QStringLiteral("/key.bin");
    const QString keyInfoPath = dir + QStringLiteral("/../key.info");
    // Line 1 is the URI written into the playlist: relative to the playlist.
    const QByteArray keyInfo = "key.bin\n" + keyPath.toUtf8() + "\n" + iv.toHex() + "\n";
    if (!WriteFile(keyPath, key, error) || !WriteFile(keyInfoPath, keyInfo, error))
        return false;
    return GenerateMedia(lesson, dir, lesson.PictureSize, {"-hls_key_info_file", keyInfoPath}, error);
}

bool NdSampleLessons::GenerateMaster(const NdSampleLesson_t& lesson, const QString& dir, QString* error) const
{
    QByteArray master = "#EXTM3U\n#EXT-X-VERSION:3\n";
    for (const NdMasterVariant_t& variant : kMasterVariants) {
        const QString variantDir = dir + QLatin1Char('/') + QLatin1String(variant.Folder);
        if (!QDir().mkpath(variantDir)
            || !GenerateMedia(lesson, variantDir, QString::fromLatin1(variant.Size), {}, error))
            return false;
        master += "#EXT-X-STREAM-INF:BANDWIDTH=" + QByteArray::number(variant.Bandwidth)
            + ",RESOLUTION=" + QByteArray(variant.Size) + "\n" + QByteArray(variant.Folder) + "/index.m3u8\n";
    }
    return WriteFile(dir + QStringLiteral("/index.m3u8"), master, error);
}

qint64 NdSampleLessons::MeasureMediaBytes(const NdSampleLesson_t& lesson) const
{
    QString mediaDir = LessonDir(lesson.Name);
    if (lesson.LessonKind == NdSampleLesson_t::Master)
        mediaDir += QLatin1Char('/') + QLatin1String(HighestMasterVariant().Folder);
    qint64 bytes = 0;
    for (const QFileInfo& entry : QDir(mediaDir).entryInfoList(QDir::Files)) {
        if (IsMediaFile(entry.fileName()))
            bytes += entry.size();
    }
    return bytes;
}
