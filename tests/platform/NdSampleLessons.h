#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One lesson of the sample platform: a short HLS stream made by ffmpeg from its
// own test sources, kept in a cache folder between runs.
struct NdSampleLesson_t
{
    enum Kind
    {
        Plain,  // media playlist with transport-stream segments
        Aes,    // the same, AES-128 encrypted, key URI relative to the playlist
        Master, // master playlist naming three variants in subfolders
        Fmp4,   // fragmented-MP4 segments with an initialisation section
    };

    QString Name;  // lesson path component, e.g. "plain"
    QString Title; // "file_name" in the token answer
    Kind LessonKind = Plain;
    QString VideoSource;    // lavfi video source, e.g. "testsrc"
    int ToneHz = 440;       // sine tone of the audio track
    int Seconds = 4;        // duration; one segment per SegmentSeconds
    bool SizeAsText = true; // "size" as a JSON string (else a JSON number)
    qint64 MediaBytes = 0;  // bytes of the segments a downloader fetches (measured)
    // The benchmark's long lessons: made and served only when asked for, and
    // cached apart from the tests' lessons.
    bool BenchOnly = false;
    QString PictureSize = QStringLiteral("320x240");
    double SegmentSeconds = 1.0; // each segment ends at the first key frame after this much
    int KeyFrameFrames = 25;     // frames from one key frame to the next, at 25 frames a second
    QString VideoBitrate;        // x264's choice when empty
};

// The lesson catalogue and its generation. Lessons are made on first use into a
// temporary folder beside their final place and renamed into it, under a lock
// file, so concurrent platform processes never see a half-made lesson.
class NdSampleLessons
{
public:
    explicit NdSampleLessons(const QString& cacheDir, bool withBenchLessons = false);

    // Generates the missing lessons and measures all of them.
    bool Prepare(QString* error);

    const NdSampleLesson_t* Find(const QString& name) const;
    QString LessonDir(const QString& name) const;
    QString CacheDir() const { return CacheFolder; }

    // ffmpeg beside this program (the build tree's link), else the one on PATH.
    static QString FfmpegProgram();

private:
    QString GenerationDir(bool bench) const;
    void RemoveAbandonedWork(const QString& generationDir) const;
    bool GenerateMissing(bool bench, QString* error);
    bool Generate(const NdSampleLesson_t& lesson, const QString& targetDir, QString* error) const;
    bool GenerateMedia(const NdSampleLesson_t& lesson, const QString& dir, const QString& size,
        const QStringList& extraArgs, QString* error) const;
    bool GenerateAes(const NdSampleLesson_t& lesson, const QString& dir, QString* error) const;
    bool GenerateMaster(const NdSampleLesson_t& lesson, const QString& dir, QString* error) const;
    qint64 MeasureMediaBytes(const NdSampleLesson_t& lesson) const;

    QString CacheFolder;
    QList<NdSampleLesson_t> Lessons;
};
