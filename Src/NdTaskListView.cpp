#include "NdTaskListView.h"

#include "INdDownloaderBackEnd.h"
#include "NdDownloadTaskManager.h"
#include "NdDownloaderBackEndImpl.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdNoDownloadTaskView.h"
#include "NdQuestionBox.h"
#include "NdSetDownloadPathDlg.h"
#include "NdTaskItem.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"

#include <QDir>
#include <QFileInfo>
#include <QScrollArea>
#include <QUuid>
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

QString Numbered(const std::string& name, int n)
{
    return NdCommHelper::FromUtf8(name) + QStringLiteral("(%1)").arg(n);
}

bool VideoFileExists(const QString& dir, const QString& name)
{
    return QFileInfo::exists(dir + QLatin1Char('/') + name + QStringLiteral(".mp4"));
}

bool IsSameVideo(const DownloadTaskParam_t& a, const DownloadTaskParam_t& b)
{
    return a.VideoName == b.VideoName && a.VideoM3U8Url == b.VideoM3U8Url && a.VideoTempPath == b.VideoTempPath;
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
    NdCacheManager::GetInstance()->GetDownloadTasks(m_tasks);
    if (m_tasks.empty())
        return;
    for (DownloadTaskParam_t& task : m_tasks) {
        const QString workFolder = NdCommHelper::FromUtf8(task.VideoTempPath);
        if (task.VideoState == Finished && !workFolder.isEmpty() && QDir(workFolder).exists()) {
            // Left by a run that ended after storing its result.
            NdDownloaderBackEndImpl::RemoveWorkFolder(workFolder);
        } else if (task.VideoState != Wait && task.VideoState != Finished && !QDir(workFolder).exists()) {
            NdCacheManager::GetInstance()->DeleteOneDownloadTask(task);
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
    const DownloadTaskParam_t& task, const QString& dir, const std::vector<DownloadTaskParam_t>& listed)
{
    const std::string& received = task.VideoName;
    const std::string downloadPath = NdCommHelper::ToUtf8(dir);
    std::string name = received;
    int n = 0;
    if (VideoFileExists(dir, NdCommHelper::FromUtf8(name))) {
        do
            ++n;
        while (VideoFileExists(dir, Numbered(received, n)));
        name = NdCommHelper::ToUtf8(Numbered(received, n));
    }
    auto isListed = [&](const DownloadTaskParam_t& other) {
        return other.VideoName == name && other.VideoM3U8Url == task.VideoM3U8Url
            && other.VideoDownloadPath == downloadPath;
    };
    while (std::any_of(listed.begin(), listed.end(), isListed))
        name = NdCommHelper::ToUtf8(Numbered(received, ++n));
    return name;
}

std::string NdTaskListView::FreeFileName(const QString& dir, const std::string& name)
{
    QString candidate = NdCommHelper::FromUtf8(name);
    for (int k = 1; VideoFileExists(dir, candidate); ++k)
        candidate = Numbered(name, k);
    return NdCommHelper::ToUtf8(candidate);
}

void NdTaskListView::CreateTasks(std::vector<DownloadTaskParam_t>& tasks, const QString& dir)
{
    const QString workRoot = NdDownloaderBackEndImpl::WorkRootPath(dir);
    QDir().mkpath(workRoot);

    const int room = kMaxTasks - static_cast<int>(m_tasks.size());
    if (static_cast<int>(tasks.size()) > room)
        tasks.resize(static_cast<size_t>(std::max(room, 0)));
    if (tasks.empty()) {
        emit sigToastTip(QStringLiteral("tip"), Str("NdDownloader.MaxFileCount"), QSize(220, 38));
        return;
    }

    for (DownloadTaskParam_t& task : tasks)
        task.VideoName = SettleVideoName(task, dir, m_tasks);
    const size_t firstNew = m_tasks.size();
    m_tasks.insert(m_tasks.end(), tasks.begin(), tasks.end());

    NdCacheManager* store = NdCacheManager::GetInstance();
    for (size_t i = firstNew; i < m_tasks.size(); ++i) {
        DownloadTaskParam_t& task = m_tasks[i];
        const QString workFolder = workRoot + QLatin1Char('/') + QUuid::createUuid().toString();
        QDir().mkpath(workFolder);
        task.VideoDownloadPath = NdCommHelper::ToUtf8(dir);
        task.VideoName = FreeFileName(dir, task.VideoName);
        task.VideoTempPath = NdCommHelper::ToUtf8(workFolder);
        // Show, queue, store: a row exists before its task can report to it.
        AddItem(task);
        m_pTaskManager->AddTask(task);
        store->SaveOneDownloadTask(task);
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

    const auto listed = std::find_if(
        m_tasks.begin(), m_tasks.end(), [&](const DownloadTaskParam_t& task) { return IsSameVideo(task, record); });
    if (listed != m_tasks.end()) {
        m_tasks.erase(listed);
        --m_nTaskCount;
    }
    m_items.removeOne(item);
    delete item;
    UpdateContentSize();
}
