#include "NdLogManagerImpl.h"

#include "NdCore/NdCommHelper.h"

#include <QDebug>
#include <QDir>
#include <QReadLocker>
#include <QReadWriteLock>
#include <QStandardPaths>
#include <QWriteLocker>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

NdLogManagerImpl* NdLogManager::sm_pInstance = nullptr;

namespace {
const size_t kLineBufferSize = 4096; // a message and a whole line are each cut to 4,095 characters
const size_t kLocationWidth = 50;

// Guards sm_pInstance: Print holds it shared for its whole call, Install and UnInstall
// exclusively. An UnInstall therefore waits for the lines in flight, and a Print after it
// finds no instance. Never destroyed, so a Print during static destruction still finds it.
QReadWriteLock& InstanceLock()
{
    static QReadWriteLock* lock = new QReadWriteLock;
    return *lock;
}

std::tm LocalCalendarTime(std::time_t when)
{
    std::tm calendar{};
    localtime_r(&when, &calendar);
    return calendar;
}

std::string TimeOfDay(std::chrono::system_clock::time_point now)
{
    const std::tm calendar = LocalCalendarTime(std::chrono::system_clock::to_time_t(now));
    char buffer[80] = {0};
    const size_t length = std::strftime(buffer, sizeof(buffer), "%X", &calendar);
    if (length > 0 && sizeof(buffer) - length >= 6) {
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
        const unsigned millis = static_cast<unsigned>(micros % 1000000 / 1000);
        std::snprintf(buffer + length, sizeof(buffer) - length, ".%03u", millis);
    }
    return buffer;
}

// "/x/y/dir/File.cpp" -> "dir/File.cpp"; a name without "/" stays as it is.
std::string ShortSourceName(const std::string& file)
{
    const size_t nameStart = file.rfind('/');
    if (nameStart == std::string::npos)
        return file;
    const std::string directory = file.substr(0, nameStart);
    const size_t lastDirectoryStart = directory.rfind('/');
    const std::string lastDirectory
        = lastDirectoryStart == std::string::npos ? directory : directory.substr(lastDirectoryStart + 1);
    return lastDirectory + file.substr(nameStart);
}

// The shortened name right-aligned in a dotted field, so the messages line up.
std::string SourceLocation(const char* file, int line)
{
    std::string location = ShortSourceName(file);
    if (location.size() < kLocationWidth)
        location.insert(0, kLocationWidth - location.size(), '.');
    return location + ":" + std::to_string(line);
}

std::string CurrentLocalTimeText(const char* format)
{
    const std::tm calendar = LocalCalendarTime(std::time(nullptr));
    char buffer[80] = {0};
    std::strftime(buffer, sizeof(buffer), format, &calendar);
    return buffer;
}
} // namespace

NdLogManagerImpl::NdLogManagerImpl() = default;

NdLogManagerImpl::~NdLogManagerImpl() = default;

void NdLogManagerImpl::Init()
{
    LogDir = NdCommHelper::ToUtf8(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)) + "/logs";
    if (!QDir().mkpath(NdCommHelper::FromUtf8(LogDir))) {
        qDebug().noquote() << "=====================================\n";
        qDebug().noquote() << "Failed to make dir: " << NdCommHelper::FromUtf8(LogDir);
    }
    LevelLabels[LogInfo] = "INFO ";
    LevelLabels[LogError] = "ERROR";
    LevelLabels[LogWarn] = "WARN ";
    LevelLabels[LogDebug] = "DEBUG";

    const std::string path = LogDir + "/" + CreateLogFile();
    QMutexLocker locker(&WriteLock);
    if (!LogFile.is_open())
        LogFile.open(path, std::ios::in | std::ios::out | std::ios::trunc);
    else
        LogFile.setstate(std::ios::failbit);
    if (!LogFile.is_open() || LogFile.fail())
        qDebug().noquote() << "Failed to open log file: " << NdCommHelper::FromUtf8(path) << ".";
}

std::string NdLogManagerImpl::CreateLogFile()
{
    const std::tm now = LocalCalendarTime(std::time(nullptr));
    char name[255] = {0};
    std::snprintf(name, sizeof(name), "%04d-%02d-%02d-%02d-%02d-%02d.log", now.tm_year + 1900, now.tm_mon + 1,
        now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    qDebug().noquote().nospace() << "======== log file name: =========\n"
                                 << "file: " << name << "\n"
                                 << "year: " << now.tm_year << "\n"
                                 << "month: " << now.tm_mon << "\n"
                                 << "monday: " << now.tm_mday << "\n"
                                 << "hour: " << now.tm_hour << "\n"
                                 << "min: " << now.tm_min << "\n"
                                 << "sec: " << now.tm_sec << "\n"
                                 << "======== log file name end =========";
    return name;
}

void NdLogManagerImpl::WirteLog(NdLogType type, const char* file, int line, const char* message)
{
    const char* sourceFile = file ? file : "";
    const char* text = message ? message : "";
    char logLine[kLineBufferSize] = {0};
    {
        QMutexLocker locker(&WriteLock);
        const std::string timeOfDay = TimeOfDay(std::chrono::system_clock::now());
        std::snprintf(logLine, sizeof(logLine), "[%s][%s][%s]: %s", timeOfDay.c_str(),
            SourceLocation(sourceFile, line).c_str(), LevelLabel(type).c_str(), text);
        LogFile << logLine << std::endl;
        LogFile.flush();
    }
    // Outside the lock: a message handler that logs in turn must not deadlock on it.
    EchoToDebug(type, sourceFile, line, text, logLine);
}

std::string NdLogManagerImpl::LevelLabel(NdLogType type) const
{
    const auto found = LevelLabels.find(type);
    return found == LevelLabels.end() ? std::string() : found->second;
}

void NdLogManagerImpl::EchoToDebug(
    NdLogType type, const char* file, int line, const char* message, const char* logLine) const
{
    // One debug message, so the lines of one call stay together when threads log at once.
    qDebug().noquote().nospace() << "level: " << static_cast<int>(type) << "\n"
                                 << "pszFileName: " << file << "\n"
                                 << "nLineNo: " << line << "\n"
                                 << "pszMessage: " << message << "\n"
                                 << "AppDataLocation: "
                                 << QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) << "\n"
                                 << "AppConfigLocation: "
                                 << QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) << "\n"
                                 << "log: " << logLine;
}

void NdLogManager::Install()
{
    QWriteLocker locker(&InstanceLock());
    // A second Install keeps the open file: opening it again would fail and silence the log.
    if (sm_pInstance)
        return;
    sm_pInstance = new NdLogManagerImpl;
    sm_pInstance->Init();
}

void NdLogManager::UnInstall()
{
    QWriteLocker locker(&InstanceLock());
    delete sm_pInstance;
    sm_pInstance = nullptr;
}

void NdLogManager::Print(NdLogType type, const char* file, int line, const char* format, ...)
{
    if (!format)
        return;
    QReadLocker locker(&InstanceLock());
    if (!sm_pInstance)
        return;
    char message[kLineBufferSize] = {0};
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    sm_pInstance->WirteLog(type, file, line, message);
}

std::string NdCommHelper::CurrentDateTimeString()
{
    return CurrentLocalTimeText("%Y-%m-%d, %X");
}
