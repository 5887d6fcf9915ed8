#include "NdTaskListView.h"

#include "INdDownloaderBackEnd.h"
#include "NdDownloadTaskManager.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdNoDownloadTaskView.h"
#include "NdQuestionBox.h"
#include "NdSetDownloadPathDlg.h"
#include "NdTaskFolder.h"
#include "NdTaskItem.h"
#include "NdVideoName.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"

#include <QDir>
#include <QFileInfo>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

bool NdTaskListView::sm_bCreating = false;

namespace {

using NdDownloaderInterface::INdDownloaderBackEnd;

const int kRowWidth = 1032;
const int kRowHeight = 48;
const int kContentWidth = 1064;

QString Str(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}

const char* const kVideoSuffix = ".mp4";

bool VideoFileExists(const QString& dir, const QString& name)
{
    const QFileInfo file(dir + QLatin1Char('/') + name + QLatin1String(kVideoSuffix));
    return file.exists() || file.isSymLink();
}

bool IsSameFolder(const std::string& a, const QString& b)
{
    return QDir::cleanPath(NdCommHelper::FromUtf8(a)) == QDir::cleanPath(b);
}

// Clears a flag when the scope ends, on every return path.
class FlagGuard
{
public:
    explicit FlagGuard(bool& flag) : m_flag(flag) { m_flag = true; }
    ~FlagGuard() { m_flag = false; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

private:
    bool& m_flag;
};

} // namespace

NdTaskListView::NdTaskListView(QWidget* parent) : NdWidget(parent)
{
    InitUi();
    TranslateText();
    m_pTaskManager = new NdDownloadTaskManager();
}

NdTaskListView::~NdTaskListView()
{
    // The scheduler stops its running tasks without letting them signal rows,
    // so it goes before the rows do.
    delete m_pTaskManager;
    m_pTaskManager = nullptr;
}

void NdTaskListView::InitUi()
{
    m_pContentWidget = new NdWidget(this);
    m_pContentWidget->setObjectName(QStringLiteral("NdTaskListView_Widget"));
    m_pContentWidget->setFixedSize(kContentWidth, 0);

    m_pScrollArea = new QScrollArea(this);
    m_pScrollArea->setObjectName(QStringLiteral("NdTaskListView_ScrollArea"));
    m_pScrollArea->setFixedWidth(1072);
    m_pScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_pScrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_pScrollArea->setWidget(m_pContentWidget);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pScrollArea);
    layout->addSpacing(16);
    layout->addLayout(NdMakeSupportLine(this, m_pSupportLabel));
    layout->addSpacing(16);
}

void NdTaskListView::TranslateText()
{
    m_pSupportLabel->setText(Str("NdDownloader.TechnicalSupport"));
}

void NdTaskListView::AddItem(DownloadTaskParam_t& param)
{
    if (!m_pRowLayout) {
        m_pRowLayout = new QVBoxLayout(m_pContentWidget);
        m_pRowLayout->setContentsMargins(16, 0, 0, 0);
        m_pRowLayout->setSpacing(0);
    }
    NdTaskItem* item = new NdTaskItem(m_pContentWidget, param);
    param.TaskItem = item;
    item->SetDownloadTaskParam(param);

    connect(item, &NdTaskItem::sigShowWindow, this, &NdTaskListView::sigShowWindow, Qt::DirectConnection);
    connect(item, &NdTaskItem::sigDelete, this, &NdTaskListView::slotDelete);
    connect(item, &NdTaskItem::sigChangeDownloadState, this, &NdTaskListView::slotChangeDownloadState);
    connect(item, &NdTaskItem::sigToastTip, this, &NdTaskListView::sigToastTip);
    connect(item, &NdTaskItem::sigDirNoExist, this,
        [this]() { emit sigToastTip(QStringLiteral("tip"), Str("NdDownloader.DirNotFound"), QSize(144, 38)); });
    connect(item, &NdTaskItem::sigVideoRenamed, this, &NdTaskListView::onVideoRenamed);

    item->setFixedSize(kRowWidth, kRowHeight);
    m_pRowLayout->insertWidget(0, item, 0, Qt::AlignCenter);
    item->show();
    m_items.append(item);
    UpdateContentSize();
}

void NdTaskListView::UpdateContentSize()
{
    m_pContentWidget->setFixedSize(kContentWidth, kRowHeight * m_items.size());
    emit sigCurrentItems(m_items.size());
}

void NdTaskListView::StartScheduler()
{
    if (!m_pTaskManager->isRunning())
        m_pTaskManager->start();
}

void NdTaskListView::InitLocalDownloadTasks()
{
    NdCacheManager* store = NdCacheManager::GetInstance();
    store->GetDownloadTasks(m_tasks);
    // The store keeps the file as it is; the user should know why the list is empty.
    if (store->TaskFileUnreadable()) {
        ND_LOG(LogError, "The task list cannot be read; it is left as it is.");
        emit sigToastTip(QStringLiteral("error"), Str("NdDownloader.TaskListUnreadable"), QSize(260, 38));
    }
    if (m_tasks.empty())
        return;
    for (DownloadTaskParam_t& task : m_tasks) {
        const QString workFolder = NdCommHelper::FromUtf8(task.VideoTempPath);
        if (task.VideoState == Finished && !workFolder.isEmpty() && QDir(workFolder).exists()) {
            // Left by a run that ended after storing its result.
            NdTaskFolder(task).Remove();
        } else if (task.VideoState != Wait && task.VideoState != Finished && !QDir(workFolder).exists()) {
            store->DeleteOneDownloadTask(task);
        } else if (task.VideoState == Downloaded) {
            // All segments were on disk when the program ended before merging;
            // stored like that the task could never be started again.
            task.VideoState = Transcoding;
        }
    }
    for (auto it = m_tasks.rbegin(); it != m_tasks.rend(); ++it) {
        AddItem(*it);
        if (it->VideoState == Wait || it->VideoState == Downloading || it->VideoState == Transcoding)
            m_pTaskManager->AddTask(*it);
    }
    m_nTaskCount = static_cast<int>(m_tasks.size());
    StartScheduler();
}

void NdTaskListView::InitNewDownloadTasks(const std::string& token, bool isUrl)
{
    if (sm_bCreating || token.empty())
        return;
    std::vector<DownloadTaskParam_t> tasks;
    QString dir;
    {
        FlagGuard creating(sm_bCreating);
        if (!FetchNewTasks(token, isUrl, tasks))
            return;
        ReportCrashOnce(tasks.front());
        if (!AskDownloadFolder(tasks, dir))
            return;
    }
    CreateTasks(tasks, dir);
}

bool NdTaskListView::FetchNewTasks(const std::string& token, bool isUrl, std::vector<DownloadTaskParam_t>& tasks)
{
    if (isUrl) {
        DownloadTaskParam_t task;
        task.VideoM3U8Url = token;
        task.VideoName = "test";
        tasks.push_back(task);
    } else {
        INdDownloaderBackEnd::GetInstance()->GetDownloadTaskByToken(token, tasks);
    }
    return !tasks.empty();
}

void NdTaskListView::ReportCrashOnce(const DownloadTaskParam_t& first)
{
    NdCacheManager* store = NdCacheManager::GetInstance();
    if (!store->GetIsCrash())
        return;
    INdDownloaderBackEnd::GetInstance()->ReportInfo(first, DownloadReport, "crash", true);
    store->SetIsCrash(false);
}

bool NdTaskListView::AskDownloadFolder(const std::vector<DownloadTaskParam_t>& tasks, QString& dir)
{
    float totalSize = 0.0f;
    for (const DownloadTaskParam_t& task : tasks)
        totalSize += task.VideoFileSize;
    const DownloadTaskParam_t& last = tasks.back();

    NdSetDownloadPathDlg dialog(this);
    dialog.SetDownloadFilesInfo(
        NdCommHelper::FromUtf8(last.VideoName), static_cast<int>(tasks.size()), totalSize, last.VideoFileSize);
    dialog.resize(480, 272);
    emit sigShowMask(true);
    const int answer = dialog.DoModal();
    emit sigShowMask(false);
    dir = dialog.GetDir();
    return answer != 0 && !dir.isEmpty();
}

std::string NdTaskListView::SettleVideoName(
    const std::string& received, const QString& dir, const std::vector<DownloadTaskParam_t>& listed)
{
    const QString stem = NdVideoName::Settle(NdCommHelper::FromUtf8(received), Str("NdDownloader.NdVideo"));
    const auto taken = [&](const QString& name) {
        const std::string utf8 = NdCommHelper::ToUtf8(name);
        return VideoFileExists(dir, name) || std::any_of(listed.begin(), listed.end(), [&](const auto& task) {
            return task.VideoName == utf8 && IsSameFolder(task.VideoDownloadPath, dir);
        });
    };
    return NdCommHelper::ToUtf8(NdVideoName::FirstFree(stem, QLatin1String(kVideoSuffix), taken));
}

void NdTaskListView::CreateTasks(std::vector<DownloadTaskParam_t>& tasks, const QString& dir)
{
    const int room = kMaxTasks - static_cast<int>(m_tasks.size());
    if (static_cast<int>(tasks.size()) > room)
        tasks.resize(static_cast<size_t>(std::max(room, 0)));
    if (tasks.empty()) {
        emit sigToastTip(QStringLiteral("tip"), Str("NdDownloader.MaxFileCount"), QSize(220, 38));
        return;
    }

    NdCacheManager* store = NdCacheManager::GetInstance();
    for (DownloadTaskParam_t task : tasks) {
        // Against the tasks of this request made so far too: two lessons of
        // one name get two names, and each record names its own file.
        task.VideoName = SettleVideoName(task.VideoName, dir, m_tasks);
        task.VideoDownloadPath = NdCommHelper::ToUtf8(dir);
        task.VideoTempPath = NdCommHelper::ToUtf8(NdTaskFolder::CreateNew(dir));
        m_tasks.push_back(task);
        // Show, queue, store: a row exists before its task can report to it.
        AddItem(m_tasks.back());
        m_pTaskManager->AddTask(m_tasks.back());
        store->SaveOneDownloadTask(m_tasks.back());
    }
    m_nTaskCount = static_cast<int>(m_tasks.size());
    StartScheduler();
}

QString NdTaskListView::GetCurrentDownloadTaskName() const
{
    std::vector<DownloadTaskParam_t> stored;
    NdCacheManager::GetInstance()->GetDownloadTasks(stored);
    for (const DownloadTaskParam_t& task : stored) {
        if (task.VideoState == Downloading)
            return NdCommHelper::FromUtf8(task.VideoName);
    }
    return QString();
}

void NdTaskListView::slotChangeDownloadState(const DownloadTaskParam_t& param)
{
    m_pTaskManager->ChangeDownloadState(param);
}

void NdTaskListView::slotDelete()
{
    NdReportClick("btn_delete");
    NdTaskItem* item = qobject_cast<NdTaskItem*>(sender());
    if (!item)
        return;
    NdQuestionBox box(this, Str("NdDownloader.SureDeleteRecord"), 480, 116);
    emit sigShowMask(true);
    const int answer = box.DoModal();
    emit sigShowMask(false);
    if (answer == 0)
        return;
    const bool deleteLocalFile = box.IsDeleteLocalFile();
    if (deleteLocalFile)
        NdReportClick("btn_deletedlg_local_file");
    DeleteRow(item, deleteLocalFile);
    emit sigToastTip(QStringLiteral("success"), Str("NdDownloader.DeletedTask"), QSize(116, 38));
}

void NdTaskListView::DeleteRow(NdTaskItem* item, bool deleteLocalFile)
{
    const DownloadTaskParam_t record = item->GetDownloadTaskParam();
    // Out of the scheduler first: once RemoveTask has returned, no task thread
    // touches the row, the store or the working folder again.
    m_pTaskManager->RemoveTask(record);
    INdDownloaderBackEnd::GetInstance()->DeleteTask(record, deleteLocalFile);
    ND_LOG(LogInfo, "deleted task %s", record.VideoName.c_str());

    const auto listed = std::find_if(m_tasks.begin(), m_tasks.end(),
        [&](const DownloadTaskParam_t& task) { return task.VideoTempPath == record.VideoTempPath; });
    if (listed != m_tasks.end()) {
        m_tasks.erase(listed);
        --m_nTaskCount;
    }
    m_items.removeOne(item);
    delete item;
    UpdateContentSize();
}

void NdTaskListView::onVideoRenamed(const std::string& tempPath, const QString& videoName)
{
    for (DownloadTaskParam_t& task : m_tasks) {
        if (task.VideoTempPath == tempPath)
            task.VideoName = NdCommHelper::ToUtf8(videoName);
    }
}
