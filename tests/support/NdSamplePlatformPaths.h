#pragma once

#include <QString>

// The address layout of the sample platform, shared by the platform program and
// the tests that drive it, so both sides build the same URLs.
namespace NdSamplePlatformPaths {
inline const char* DownloadDataPath()
{
    return "/alive_b/alive_download/get_download_data";
}
inline const char* DownloadLinkPath()
{
    return "/alive_b/alive_download/get_download_link/";
}
inline const char* ErrorReportPath()
{
    return "/error_report";
}
inline const char* ReportsPath()
{
    return "/_reports";
}
inline const char* RequestsPath()
{
    return "/_requests";
}
inline const char* ResetPath()
{
    return "/_control/reset";
}
inline const char* VersionPath()
{
    return "/_control/version";
}
// Faults that come and go (see NdSampleTransient).
inline const char* FaultsPath()
{
    return "/_control/faults";
}
inline const char* InstallerPath()
{
    return "/installer/NdDownloader.dmg";
}
// Link shaping and its counters (see NdSampleLink).
inline const char* LinkPath()
{
    return "/_link";
}
inline const char* LinkControlPath()
{
    return "/_control/link";
}

// Lessons are served under two roots: "/lessons/" and "/moved/" (the target of
// the "redirect" switch). Every lesson folder holds its playlist as "index.m3u8".
inline QString LessonsRoot()
{
    return QStringLiteral("/lessons/");
}
inline QString MovedRoot()
{
    return QStringLiteral("/moved/");
}
inline QString PlaylistName()
{
    return QStringLiteral("index.m3u8");
}

// "slow/plain" -> "/lessons/slow/plain/index.m3u8"
inline QString LessonPlaylistPath(const QString& lessonPath)
{
    return LessonsRoot() + lessonPath + QLatin1Char('/') + PlaylistName();
}
} // namespace NdSamplePlatformPaths
