#include "NdCacheManagerImpl.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

#include <json/json.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <exception>
#include <memory>
#include <sstream>

namespace {
const char kTaskFile[] = "NdDownloadTasks.bin";
const char kConfigFile[] = "NdConfig.bin";
const char kCrashFile[] = "NdCrash.bin";
const char kDownloadPathFile[] = "NdDownloadPath.bin";
const char kDamagedSuffix[] = ".corrupt";
const int kMaxDamagedCopies = 1000;
// Figures of progress alone reach the file at most this often.
const std::chrono::seconds kProgressWriteInterval(1);

const char kEnvironmentKey[] = "Environment";
const char kIsCrashKey[] = "IsCrash";
const char kLastDownloadPathKey[] = "LastDownloadPath";

const char kAppIdKey[] = "AppId";
const char kUserIdKey[] = "UserId";
const char kM3U8UrlKey[] = "VideoM3U8Url";
const char kNameKey[] = "VideoName";
const char kFileSizeKey[] = "VideoFileSize";
const char kDownloadFileSizeKey[] = "VideoDownloadFileSize";
const char kTranscodeFileSizeKey[] = "VideoTranscodeFileSize";
const char kDurationKey[] = "VideoDuration";
const char kTempPathKey[] = "VideoTempPath";
const char kDownloadPathKey[] = "VideoDownloadPath";
const char kStateKey[] = "VideoState";

const Json::ArrayIndex kNotFound = static_cast<Json::ArrayIndex>(-1);

QString ToQString(const std::string& utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<int>(utf8.size()));
}

// Members are read as leniently as jsoncpp converts (an integer from 3.0, a float from 2),
// but a value it cannot convert makes the read fail instead of throwing.
bool ReadMember(const Json::Value& object, const char* key, std::string& out)
{
    const Json::Value& value = object[key];
    if (!value.isConvertibleTo(Json::stringValue))
        return false;
    out = value.asString();
    return true;
}

bool ReadMember(const Json::Value& object, const char* key, int32_t& out)
{
    const Json::Value& value = object[key];
    if (!value.isConvertibleTo(Json::intValue))
        return false;
    out = value.asInt();
    return true;
}

bool ReadMember(const Json::Value& object, const char* key, float& out)
{
    const Json::Value& value = object[key];
    if (!value.isConvertibleTo(Json::realValue))
        return false;
    const double wide = value.asDouble();
    if (!(std::fabs(wide) <= FLT_MAX))
        return false;
    out = static_cast<float>(wide);
    return true;
}

bool ReadMember(const Json::Value& object, const char* key, bool& out)
{
    const Json::Value& value = object[key];
    if (!value.isConvertibleTo(Json::booleanValue))
        return false;
    out = value.asBool();
    return true;
}

// A settings file holds one object; anything unreadable gives the caller's default.
template <typename T> T ReadSetting(const Json::Value& root, const char* key, T fallback)
{
    T value = fallback;
    if (root.isObject() && ReadMember(root, key, value))
        return value;
    return fallback;
}

Json::Value TaskToJson(const DownloadTaskParam_t& task)
{
    Json::Value entry(Json::objectValue);
    entry[kAppIdKey] = task.AppId;
    entry[kUserIdKey] = task.UserId;
    entry[kM3U8UrlKey] = task.VideoM3U8Url;
    entry[kNameKey] = task.VideoName;
    entry[kFileSizeKey] = static_cast<double>(task.VideoFileSize);
    entry[kDownloadFileSizeKey] = static_cast<double>(task.VideoDownloadFileSize);
    entry[kTranscodeFileSizeKey] = static_cast<double>(task.VideoTranscodeFileSize);
    entry[kDurationKey] = task.VideoDuration;
    entry[kTempPathKey] = task.VideoTempPath;
    entry[kDownloadPathKey] = task.VideoDownloadPath;
    entry[kStateKey] = task.VideoState;
    return entry;
}

// False for an entry of the wrong shape; the caller skips it.
bool TaskFromJson(const Json::Value& entry, DownloadTaskParam_t& task)
{
    return entry.isObject() && ReadMember(entry, kAppIdKey, task.AppId) && ReadMember(entry, kUserIdKey, task.UserId)
        && ReadMember(entry, kM3U8UrlKey, task.VideoM3U8Url) && ReadMember(entry, kNameKey, task.VideoName)
        && ReadMember(entry, kFileSizeKey, task.VideoFileSize)
        && ReadMember(entry, kDownloadFileSizeKey, task.VideoDownloadFileSize)
        && ReadMember(entry, kTranscodeFileSizeKey, task.VideoTranscodeFileSize)
        && ReadMember(entry, kDurationKey, task.VideoDuration) && ReadMember(entry, kTempPathKey, task.VideoTempPath)
        && ReadMember(entry, kDownloadPathKey, task.VideoDownloadPath) && ReadMember(entry, kStateKey, task.VideoState);
}

bool StringMemberEquals(const Json::Value& entry, const char* key, const std::string& expected)
{
    if (!entry.isObject())
        return false;
    // Without a copy of the member: every change looks through the list.
    const char* begin = nullptr;
    const char* end = nullptr;
    return entry[key].getString(&begin, &end)
        && expected.compare(0, std::string::npos, begin, static_cast<size_t>(end - begin)) == 0;
}

// Whole-record updates and deletes need the same working folder, playlist and name.
bool IsSameTask(const Json::Value& entry, const DownloadTaskParam_t& task)
{
    return StringMemberEquals(entry, kTempPathKey, task.VideoTempPath)
        && StringMemberEquals(entry, kM3U8UrlKey, task.VideoM3U8Url)
        && StringMemberEquals(entry, kNameKey, task.VideoName);
}

// The styled writer's layout: three-space indentation, " : " between key and value, a final
// newline. (Value::toStyledString indents with tabs in newer jsoncpp releases.) The stream
// writer, because Json::StyledWriter cuts a member name at a NUL byte: a damaged entry that
// reads back whole would come back changed, or unreadable, after the next rewrite.
std::string StyledText(const Json::Value& root)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "   ";
    builder["emitUTF8"] = false; // non-ASCII as \u escapes, as the styled writer wrote it
    const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
    std::ostringstream text;
    writer->write(root, &text);
    text << '\n';
    return text.str();
}

// By iterator: an index into a jsoncpp array is a map look-up.
template <typename Predicate> Json::ArrayIndex FindFirst(const Json::Value& list, Predicate matches)
{
    if (!list.isArray())
        return kNotFound;
    Json::ArrayIndex index = 0;
    for (const Json::Value& entry : list) {
        if (matches(entry))
            return index;
        ++index;
    }
    return kNotFound;
}

Json::ArrayIndex FindSameTask(const Json::Value& list, const DownloadTaskParam_t& task)
{
    return FindFirst(list, [&task](const Json::Value& entry) { return IsSameTask(entry, task); });
}

bool IsProgressKey(const std::string& key)
{
    return key == kDownloadFileSizeKey || key == kTranscodeFileSizeKey || key == kFileSizeKey;
}

// Member by member, so members this version does not know survive the update. True when a
// member other than the sizes changed.
bool UpdateMembers(Json::Value& entry, const Json::Value& updated)
{
    bool moreThanProgress = false;
    for (const std::string& key : updated.getMemberNames()) {
        Json::Value& member = entry[key];
        if (member == updated[key])
            continue;
        moreThanProgress = moreThanProgress || !IsProgressKey(key);
        member = updated[key];
    }
    return moreThanProgress;
}
} // namespace

NdCacheManager::~NdCacheManager() = default;

NdCacheManager* NdCacheManager::GetInstance()
{
    static NdCacheManagerImpl instance;
    return &instance;
}

NdCacheManagerImpl::NdCacheManagerImpl()
    : DataDir(NdCommHelper::ToUtf8(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)))
{
    while (DataDir.size() > 1 && DataDir.back() == '/')
        DataDir.pop_back();
}

NdCacheManagerImpl::~NdCacheManagerImpl() = default;

void NdCacheManagerImpl::SaveOneDownloadTask(const DownloadTaskParam_t& task)
{
    ChangeTaskList([&task](Json::Value& list) {
        list.insert(0, TaskToJson(task));
        return NdWrite::Now;
    });
}

void NdCacheManagerImpl::DeleteOneDownloadTask(const DownloadTaskParam_t& task)
{
    ChangeTaskList([&task](Json::Value& list) {
        const Json::ArrayIndex index = FindSameTask(list, task);
        if (index != kNotFound) {
            Json::Value removed;
            list.removeIndex(index, &removed);
        }
        if (list.empty())
            list = Json::Value(Json::arrayValue); // the file goes with the last task
        return NdWrite::Now;
    });
}

// The only change that may wait: a task thread stores its figures as its segments arrive.
void NdCacheManagerImpl::UpdateOneDownloadTask(const DownloadTaskParam_t& task)
{
    ChangeTaskList([&task](Json::Value& list) {
        const Json::ArrayIndex index = FindSameTask(list, task);
        if (index == kNotFound || UpdateMembers(list[index], TaskToJson(task)))
            return NdWrite::Now;
        return NdWrite::MayWait;
    });
}

void NdCacheManagerImpl::UpdateTaskState(const std::string& tempPath, int state)
{
    ChangeTaskMember(tempPath, kStateKey, Json::Value(state));
}

void NdCacheManagerImpl::UpdateVideoName(const std::string& tempPath, const std::string& videoName)
{
    ChangeTaskMember(tempPath, kNameKey, Json::Value(videoName));
}

// One member of the first task with that working folder.
void NdCacheManagerImpl::ChangeTaskMember(const std::string& tempPath, const char* key, const Json::Value& value)
{
    ChangeTaskList([&](Json::Value& list) {
        const Json::ArrayIndex index = FindFirst(
            list, [&tempPath](const Json::Value& entry) { return StringMemberEquals(entry, kTempPathKey, tempPath); });
        if (index != kNotFound)
            list[index][key] = value;
        return NdWrite::Now;
    });
}

void NdCacheManagerImpl::ClearDownloadTasks()
{
    QMutexLocker locker(&TaskListLock);
    try {
        RemoveTaskFile();
    } catch (...) { }
    ForgetTaskList();
}

bool NdCacheManagerImpl::GetDownloadTasks(std::vector<DownloadTaskParam_t>& tasks)
{
    QMutexLocker locker(&TaskListLock);
    try {
        if (!LoadTaskList() || !TaskListInFile)
            return false;
        for (const Json::Value& entry : TaskList) {
            DownloadTaskParam_t task;
            if (TaskFromJson(entry, task))
                tasks.push_back(task);
        }
        return true;
    } catch (...) {
        return false;
    }
}

int NdCacheManagerImpl::GetBackEndEnvironment()
{
    try {
        Json::Value root;
        ReadJsonFile(kConfigFile, root);
        return ReadSetting<int32_t>(root, kEnvironmentKey, Production);
    } catch (...) {
        return Production;
    }
}

void NdCacheManagerImpl::SetBackEndEnvironment(int environment)
{
    WriteSetting(kConfigFile, kEnvironmentKey, Json::Value(environment));
}

void NdCacheManagerImpl::SetIsCrash(bool isCrash)
{
    WriteSetting(kCrashFile, kIsCrashKey, Json::Value(isCrash));
}

bool NdCacheManagerImpl::GetIsCrash()
{
    try {
        Json::Value root;
        ReadJsonFile(kCrashFile, root);
        return ReadSetting<bool>(root, kIsCrashKey, false);
    } catch (...) {
        return false;
    }
}

void NdCacheManagerImpl::GetLastDownloadPath(std::string& path)
{
    try {
        Json::Value root;
        ReadJsonFile(kDownloadPathFile, root);
        path = ReadSetting<std::string>(root, kLastDownloadPathKey, std::string());
    } catch (...) { }
}

void NdCacheManagerImpl::SetLastDownloadPath(const std::string& path)
{
    WriteSetting(kDownloadPathFile, kLastDownloadPathKey, Json::Value(path));
}

bool NdCacheManagerImpl::TaskFileUnreadable()
{
    return UnreadableTaskFile;
}

void NdCacheManagerImpl::BeginChanges()
{
    QMutexLocker locker(&TaskListLock);
    ++HeldChanges;
}

void NdCacheManagerImpl::EndChanges()
{
    {
        QMutexLocker locker(&TaskListLock);
        HeldChanges = qMax(0, HeldChanges - 1);
        if (HeldChanges > 0)
            return;
    }
    Flush();
}

void NdCacheManagerImpl::Flush()
{
    QMutexLocker locker(&TaskListLock);
    try {
        if (UnwrittenChanges)
            WriteTaskList();
    } catch (...) {
        ForgetTaskList();
    }
}

// Drops what memory holds, unwritten progress too: the file is what the caller wants read.
void NdCacheManagerImpl::Reload()
{
    QMutexLocker locker(&TaskListLock);
    ForgetTaskList();
}

std::string NdCacheManagerImpl::FilePath(const char* fileName) const
{
    return DataDir + "/" + fileName;
}

NdCacheManagerImpl::NdReadResult NdCacheManagerImpl::ReadJsonFile(const char* fileName, Json::Value& root) const
{
    root = Json::Value();
    const QString path = ToQString(FilePath(fileName));
    if (!QFileInfo::exists(path))
        return NdReadResult::NoContent;
    // Only a regular file is opened: a pipe under the name would block the open for good.
    if (!QFileInfo(path).isFile())
        return NdReadResult::Unreadable;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QFileInfo::exists(path) ? NdReadResult::Unreadable : NdReadResult::NoContent; // or removed meanwhile
    const QByteArray bytes = file.readAll();
    // Qt reads nothing, and reports no error, from a file too big for one byte array.
    if (file.error() != QFileDevice::NoError || bytes.size() != file.size())
        return NdReadResult::Unreadable;
    file.close();
    if (bytes.isEmpty())
        return NdReadResult::NoContent;
    // Comments are not kept, so rewritten files stay plain.
    return NdCommHelper::ParseJson(bytes, root) ? NdReadResult::Parsed : NdReadResult::Damaged;
}

// Whole or not at all: a crash, a kill or a full disk during the write leaves the old file.
bool NdCacheManagerImpl::WriteJsonFile(const char* fileName, const Json::Value& root) const
{
    const std::string text = StyledText(root);
    // Created here rather than relying on logging to have made it, so a first run keeps its data.
    if (!QDir().mkpath(ToQString(DataDir)))
        return false;
    return NdCommHelper::WriteFileWhole(
        ToQString(FilePath(fileName)), QByteArray(text.data(), static_cast<int>(text.size())));
}

// A setting is written at once, and the progress held so far with it.
void NdCacheManagerImpl::WriteSetting(const char* fileName, const char* key, const Json::Value& value)
{
    Flush();
    try {
        Json::Value root(Json::objectValue);
        root[key] = value;
        WriteJsonFile(fileName, root);
    } catch (...) { }
}

// A list is an array, or null after an update found no file; anything else is damage.
NdCacheManagerImpl::NdReadResult NdCacheManagerImpl::ReadTaskList(Json::Value& list)
{
    NdReadResult result = ReadJsonFile(kTaskFile, list);
    NoteTaskFileReadable(result != NdReadResult::Unreadable);
    if (result == NdReadResult::Parsed && !list.isNull() && !list.isArray())
        result = NdReadResult::Damaged;
    if (result == NdReadResult::Damaged)
        list = Json::Value(); // nothing half-read from a damaged file is trusted
    return result;
}

// One log line when the file turns unreadable, not one for every change dropped meanwhile.
void NdCacheManagerImpl::NoteTaskFileReadable(bool readable)
{
    if (UnreadableTaskFile.exchange(!readable) == readable)
        ND_LOG(readable ? LogInfo : LogWarn, "Task list %s %s", FilePath(kTaskFile).c_str(),
            readable ? "can be read again" : "exists but cannot be read; changes to the list are dropped");
}

// A task file that cannot be read leaves nothing in memory: every call tries it again, and
// nothing is ever written over it, as the user's whole list may still be in it. A damaged one is read
// as an empty list and kept aside before the next write, so the list can still be recovered
// from it. False while the file cannot be read.
bool NdCacheManagerImpl::LoadTaskList()
{
    if (TaskListLoaded)
        return true;
    const NdReadResult result = ReadTaskList(TaskList);
    if (result == NdReadResult::Unreadable)
        return false;
    TaskListLoaded = true;
    TaskListInFile = result == NdReadResult::Parsed;
    TaskFileDamaged = result == NdReadResult::Damaged;
    return true;
}

void NdCacheManagerImpl::ForgetTaskList()
{
    TaskList = Json::Value();
    TaskListLoaded = false;
    UnwrittenChanges = false;
}

// Changes from several threads are serialised by the lock, so they never undo each other.
// Figures of progress alone are written by the first change that comes a second or more after
// the last write; any other change writes at once, with them. No timer is needed: a download
// stores a change every few segments and ends with a change of state, and Flush writes the rest
// when the program ends.
void NdCacheManagerImpl::ChangeTaskList(const std::function<NdWrite(Json::Value& list)>& change)
{
    QMutexLocker locker(&TaskListLock);
    try {
        if (!LoadTaskList())
            return;
        const NdWrite when = change(TaskList);
        UnwrittenChanges = true;
        const bool due = when == NdWrite::Now || LastWrite + kProgressWriteInterval <= NdClock::now();
        if (due && HeldChanges == 0)
            WriteTaskList();
    } catch (...) {
        ForgetTaskList(); // a change cut short is not trusted; the file still holds the list
    }
}

// An empty list is no file. A write that fails leaves the old file whole, and the list is read
// from it again: memory never holds a task or a state that the file could not take.
void NdCacheManagerImpl::WriteTaskList()
{
    LastWrite = NdClock::now();
    UnwrittenChanges = false;
    const bool empty = TaskList.isArray() && TaskList.empty();
    if ((TaskFileDamaged && !SetDamagedTaskFileAside())
        || !(empty ? RemoveTaskFile() : WriteJsonFile(kTaskFile, TaskList))) {
        ForgetTaskList();
        return;
    }
    TaskFileDamaged = false;
    TaskListInFile = !empty;
}

// Under the first free name of ".corrupt", ".corrupt.1", ".corrupt.2", ...: a copy kept
// aside earlier is never replaced.
bool NdCacheManagerImpl::SetDamagedTaskFileAside() const
{
    const QString damaged = ToQString(FilePath(kTaskFile));
    for (int n = 0; n < kMaxDamagedCopies; ++n) {
        const QString aside = damaged + kDamagedSuffix + (n > 0 ? QStringLiteral(".%1").arg(n) : QString());
        if (NdCommHelper::RenameNoReplace(damaged, aside)) {
            ND_LOG(
                LogWarn, "Task list %s is damaged; kept aside as %s", qUtf8Printable(damaged), qUtf8Printable(aside));
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool NdCacheManagerImpl::RemoveTaskFile() const
{
    const QString path = ToQString(FilePath(kTaskFile));
    return !QFileInfo(path).isFile() || QFile::remove(path);
}
