#pragma once

// The store as a long history leaves it, for the benches that measure what
// such a history costs: `tasks` finished lessons downloaded into `videos`,
// newest first, with an empty video file each when `withVideos`.
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QUuid>

inline bool NdWriteBenchHistory(int tasks, const QString& videos, bool withVideos)
{
    QJsonArray list;
    for (int i = tasks; i > 0; --i) {
        const QString name = QStringLiteral("第%1课 Lesson %1").arg(i);
        QFile video(videos + QLatin1Char('/') + name + QStringLiteral(".mp4"));
        if (withVideos && !video.open(QIODevice::WriteOnly))
            return false;
        list.append(QJsonObject{{"AppId", "app"}, {"UserId", "user"},
            {"VideoM3U8Url", QStringLiteral("https://cdn.example.invalid/%1/index.m3u8").arg(i)}, {"VideoName", name},
            {"VideoFileSize", 120.5}, {"VideoDownloadFileSize", 120.5}, {"VideoTranscodeFileSize", 126.3},
            {"VideoDuration", 3600}, {"VideoTempPath", videos + "/~NdTemp/" + QUuid::createUuid().toString()},
            {"VideoDownloadPath", videos}, {"VideoState", 6}});
    }
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QFile store(data + QStringLiteral("/NdDownloadTasks.bin"));
    return QDir().mkpath(data) && store.open(QIODevice::WriteOnly) && store.write(QJsonDocument(list).toJson()) > 0;
}
