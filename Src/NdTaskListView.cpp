#include "NdTaskListView.h"

#include "INdDownloaderBackEnd.h"
#include "NdDownloadTaskManager.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdNoDownloadTaskView.h"
#include "NdQuestionBox.h"
#include "NdReporter.h"
#include "NdSetDownloadPathDlg.h"
#include "NdTaskFolder.h"
#include "NdTaskItem.h"
#include "NdTaskRowArea.h"
#include "NdVideoName.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QScopedValueRollback>
#include <QVBoxLayout>

#include <algorithm>

bool NdTaskListView::Creating = false;

namespace {

using NdDownloaderInterface::INdDownloaderBackEnd;

const int kRowWidth = 1032;
const int kRowHeight = 48;
const int kRowLeft = 24;
// The tasks that "remove the finished ones" takes off the list.
const std::vector<int> kFinishedStates{Finished, MissFile};

bool IsIn(int state, const std::vector<int>& states)
{
    return std::find(states.begin(), states.end(), state) != states.end();
}

// The list that the engine's reports go to: the newest one.
QPointer<NdTaskListView> g_pConnectedList;

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

} // namespace

NdTaskListView::NdTaskListView(QWidget* parent) : NdWidget(parent)
{
    InitUi();
    TranslateText();
    TaskManager = new NdDownloadTaskManager();
    ConnectToEngine();
    Clock.start();
    setFocusPolicy(Qt::StrongFocus);
}

NdTaskListView::~NdTaskListView()
{
    // The scheduler stops its running tasks without letting them report, so
    // it goes before the records do.
    delete TaskManager;
    TaskManager = nullptr;
    if (g_pConnectedList == this)
        NdDownloadTask::SetRowConnector(nullptr);
}

void NdTaskListView::InitUi()
{
    RowArea = new NdTaskRowArea(this, kRowHeight);
    RowArea->setObjectName(QStringLiteral("NdTaskListView_ScrollArea"));
    RowArea->setFixedWidth(1072);
    RowArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    RowArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    connect(RowArea, &NdTaskRowArea::sigViewChanged, this, &NdTaskListView::LayoutRows);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->setSpacing(0);
    layout->addWidget(RowArea);
    layout->addSpacing(16);
    layout->addLayout(NdMakeSupportLine(this, SupportLabel));
    layout->addSpacing(16);
}

void NdTaskListView::TranslateText()
{
    SupportLabel->setText(Str("NdDownloader.TechnicalSupport"));
}

// Every task thread reports to this list, through the record's identity: the
// task may have no row, or another one, by the time its report arrives.
void NdTaskListView::ConnectToEngine()
{
    g_pConnectedList = this;
    NdDownloadTask::SetRowConnector([this](NdDownloadTask* task, const DownloadTaskParam_t& record) {
        const std::string tempPath = record.VideoTempPath;
        return NdRowConnections{connect(
                                    task, &NdDownloadTask::sigRefreshDownloadResult, this,
                                    [this, tempPath](float size, int percent, int state, const QString& speed) {
                                        onTaskReport(tempPath, size, percent, state, speed);
                                    },
                                    Qt::QueuedConnection),
            connect(
                task, &NdDownloadTask::sigVideoRenamed, this,
                [this, tempPath](const QString& name) { onVideoRenamed(tempPath, name); }, Qt::QueuedConnection)};
    });
}

void NdTaskListView::AddEntry(const DownloadTaskParam_t& record, bool onTop)
{
    auto entry = std::make_unique<Entry_t>();
    entry->Record = record;
    entry->Record.TaskItem = nullptr;
    ByTempPath[record.VideoTempPath] = entry.get();
    Entries.insert(onTop ? Entries.begin() : Entries.end(), std::move(entry));
}

NdTaskListView::Entry_t* NdTaskListView::Find(const std::string& tempPath) const
{
    const auto found = ByTempPath.find(tempPath);
    return found == ByTempPath.end() ? nullptr : found->second;
}

NdTaskListView::Entry_t* NdTaskListView::EntryOf(QObject* row) const
{
    auto* item = qobject_cast<NdTaskItem*>(row);
    Entry_t* entry = item ? Find(item->GetDownloadTaskParam().VideoTempPath) : nullptr;
    return entry && entry->Record.TaskItem == item ? entry : nullptr;
}

std::vector<DownloadTaskParam_t> NdTaskListView::GetTasks() const
{
    std::vector<DownloadTaskParam_t> tasks;
    tasks.reserve(Entries.size());
    for (const auto& entry : Entries)
        tasks.push_back(entry->Record);
    return tasks;
}

NdTaskItem* NdTaskListView::MakeRow()
{
    NdTaskItem* item = new NdTaskItem(RowArea->Content(), DownloadTaskParam_t());
    connect(item, &NdTaskItem::sigShowWindow, this, &NdTaskListView::sigShowWindow, Qt::DirectConnection);
    connect(item, &NdTaskItem::sigDelete, this, &NdTaskListView::slotDelete);
    connect(item, &NdTaskItem::sigChangeDownloadState, this, &NdTaskListView::slotChangeDownloadState);
    connect(item, &NdTaskItem::sigToastTip, this, &NdTaskListView::sigToastTip);
    connect(item, &NdTaskItem::sigDirNoExist, this,
        [this]() { emit sigToastTip(QStringLiteral("tip"), Str("NdDownloader.DirNotFound"), QSize(144, 38)); });
    connect(item, &NdTaskItem::sigSelected, this, &NdTaskListView::onRowSelected);
    item->setFixedSize(kRowWidth, kRowHeight);
    Rows.append(item);
    return item;
}

void NdTaskListView::BindRow(NdTaskItem* row, Entry_t* entry)
{
    entry->Record.TaskItem = row;
    row->Bind(entry->Record, entry->LastPercent, entry->Speed, entry->TimeLeft);
    row->SetSelected(entry->Record.VideoTempPath == Selected);
}

// A row keeps its task while the task stays in view; rows of tasks that left
// the view take the tasks that came in.
void NdTaskListView::LayoutRows()
{
    const unsigned layout = ++Layout;
    const int first = RowArea->FirstRowInView();
    const int count = RowArea->RowsInView();
    for (int i = first; i < first + count; ++i)
        Entries[size_t(i)]->Layout = layout;
    QList<NdTaskItem*> free;
    for (NdTaskItem* row : qAsConst(Rows)) {
        Entry_t* entry = EntryOf(row);
        if (entry && entry->Layout == layout)
            continue;
        if (entry)
            entry->Record.TaskItem = nullptr;
        row->hide();
        free.append(row);
    }
    for (int i = first; i < first + count; ++i) {
        Entry_t* entry = Entries[size_t(i)].get();
        if (!entry->Record.TaskItem)
            BindRow(free.isEmpty() ? MakeRow() : free.takeFirst(), entry);
        entry->Record.TaskItem->move(kRowLeft, RowArea->RowTop(i));
        entry->Record.TaskItem->show();
    }
}

void NdTaskListView::UpdateContentSize()
{
    RowArea->SetRowCount(static_cast<int>(Entries.size()));
    emit sigCurrentItems(static_cast<int>(Entries.size()));
}

void NdTaskListView::onTaskReport(const std::string& tempPath, float size, int percent, int state, const QString& speed)
{
    Entry_t* entry = Find(tempPath);
    if (!entry)
        return;
    const int previousState = entry->Record.VideoState;
    entry->Record.VideoState = state;
    (state == Finished ? entry->Record.VideoTranscodeFileSize : entry->Record.VideoDownloadFileSize) = size;
    entry->LastPercent = percent;
    entry->Speed = speed;
    EstimateTimeLeft(*entry, previousState);
    TellOfEnd(*entry, previousState);
    if (NdTaskItem* row = entry->Record.TaskItem) {
        row->onRefreshDownloadResult(size, percent, state, speed);
        row->ShowTimeLeft(entry->TimeLeft);
    } else if (state == NoDisk) {
        emit sigShowWindow();
    }
}

void NdTaskListView::TellOfEnd(const Entry_t& entry, int previousState)
{
    const int state = entry.Record.VideoState;
    if (state == previousState)
        return;
    const QString lesson = NdCommHelper::FromUtf8(entry.Record.VideoName);
    const QString folder = NdCommHelper::FromUtf8(entry.Record.VideoDownloadPath);
    if (state == Failed)
        emit sigTaskFailed(lesson, folder);
    const auto request = Requests.find(entry.Request);
    if (state != Finished || request == Requests.end())
        return;
    if (--request->second.Unfinished > 0)
        return;
    const int count = request->second.Count;
    Requests.erase(request);
    emit sigRequestFinished(count, lesson, folder);
}

// A deleted task no longer holds its request back; a request without
// unfinished tasks left is forgotten without a word: the user was here.
void NdTaskListView::ForgetUnfinished(const Entry_t& entry)
{
    const auto request = Requests.find(entry.Request);
    if (request == Requests.end() || entry.Record.VideoState == Finished)
        return;
    if (--request->second.Unfinished <= 0)
        Requests.erase(request);
}

// A run that starts learns its speed anew; the estimate shows only while the
// task downloads.
void NdTaskListView::EstimateTimeLeft(Entry_t& entry, int previousState)
{
    const qint64 now = Clock.elapsed();
    const double downloaded = entry.Record.VideoDownloadFileSize;
    if (entry.Record.VideoState != Downloading) {
        entry.TimeLeft.clear();
        return;
    }
    if (previousState != Downloading)
        entry.Estimate.Restart(now, downloaded);
    else
        entry.Estimate.Update(now, downloaded);
    entry.TimeLeft
        = NdTaskItem::GetTimeLeftStr(entry.Estimate.SecondsLeft(now, entry.Record.VideoFileSize, downloaded));
}

void NdTaskListView::onRowSelected()
{
    Entry_t* entry = EntryOf(sender());
    if (!entry)
        return;
    Selected = entry->Record.VideoTempPath;
    for (NdTaskItem* row : qAsConst(Rows))
        row->SetSelected(row == entry->Record.TaskItem);
    setFocus();
}

NdTaskItem* NdTaskListView::RowForKeys() const
{
    for (QWidget* widget = QApplication::widgetAt(QCursor::pos()); widget; widget = widget->parentWidget()) {
        if (auto* row = qobject_cast<NdTaskItem*>(widget))
            return EntryOf(row) ? row : nullptr;
    }
    const Entry_t* selected = Find(Selected);
    return selected ? selected->Record.TaskItem : nullptr;
}

void NdTaskListView::keyPressEvent(QKeyEvent* event)
{
    NdTaskItem* row = RowForKeys();
    if (row && event->key() == Qt::Key_Delete)
        row->ClickDelete();
    else if (row && event->key() == Qt::Key_Space)
        row->ClickStartPause();
    else
        NdWidget::keyPressEvent(event);
}

void NdTaskListView::contextMenuEvent(QContextMenuEvent* event)
{
    NdTaskItem* row = nullptr;
    for (QWidget* widget = childAt(event->pos()); widget && !row; widget = widget->parentWidget())
        row = qobject_cast<NdTaskItem*>(widget);
    std::unique_ptr<QMenu> menu(MakeContextMenu(EntryOf(row) ? row : nullptr));
    menu->exec(event->globalPos());
}

QMenu* NdTaskListView::MakeContextMenu(NdTaskItem* row)
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("NdTaskListView_Menu"));
    // Each offered while some task is in one of its states.
    const auto addChange = [&](const char* key, const std::vector<int>& from, int to) {
        menu->addAction(Str(key), this, [this, from, to] { ChangeStates(from, to); })->setEnabled(HasTaskIn(from));
    };
    addChange("NdDownloader.StartAll", {Paused, Failed, NoDisk}, Wait);
    addChange("NdDownloader.PauseAll", {Wait, Downloading}, Paused);
    addChange("NdDownloader.RetryFailed", {Failed}, Wait);
    menu->addAction(Str("NdDownloader.RemoveFinished"), this, &NdTaskListView::RemoveFinished)
        ->setEnabled(HasTaskIn(kFinishedStates));
    if (row) {
        menu->addSeparator();
        menu->addAction(Str("NdDownloader.OpenFileDir"), row, &NdTaskItem::ClickFolder);
    }
    return menu;
}

bool NdTaskListView::HasTaskIn(const std::vector<int>& states) const
{
    return std::any_of(
        Entries.begin(), Entries.end(), [&](const auto& entry) { return IsIn(entry->Record.VideoState, states); });
}

// Through the scheduler as a row's button goes, so that five at a time still holds.
void NdTaskListView::ChangeStates(const std::vector<int>& from, int to)
{
    const NdStoreChanges oneWrite;
    for (const auto& entry : Entries) {
        if (!IsIn(entry->Record.VideoState, from))
            continue;
        entry->Record.VideoState = to;
        TaskManager->ChangeDownloadState(entry->Record);
        if (entry->Record.TaskItem)
            BindRow(entry->Record.TaskItem, entry.get());
    }
}

// The finished tasks leave the list; their videos stay where they are.
void NdTaskListView::RemoveFinished()
{
    std::vector<DownloadTaskParam_t> finished;
    for (const auto& entry : Entries) {
        if (IsIn(entry->Record.VideoState, kFinishedStates))
            finished.push_back(entry->Record);
    }
    const NdStoreChanges oneWrite;
    for (const DownloadTaskParam_t& record : finished)
        DeleteFromEngineAndStore(record, false);
    Unlist([](const Entry_t& entry) { return IsIn(entry.Record.VideoState, kFinishedStates); });
}

void NdTaskListView::StartScheduler()
{
    if (!TaskManager->isRunning())
        TaskManager->start();
}

void NdTaskListView::InitLocalDownloadTasks()
{
    NdCacheManager* store = NdCacheManager::GetInstance();
    std::vector<DownloadTaskParam_t> tasks;
    store->GetDownloadTasks(tasks);
    // The store keeps the file as it is; the user should know why the list is empty.
    if (store->TaskFileUnreadable()) {
        ND_LOG(LogError, "The task list cannot be read; it is left as it is.");
        emit sigToastTip(QStringLiteral("error"), Str("NdDownloader.TaskListUnreadable"), QSize(260, 38));
    }
    if (tasks.empty())
        return;
    const NdStoreChanges oneWrite;
    for (DownloadTaskParam_t& task : tasks) {
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
    // The store keeps the newest task first, as the list shows it.
    Entries.reserve(tasks.size());
    for (const DownloadTaskParam_t& task : tasks) {
        AddEntry(task, false);
        if (task.VideoState == Wait || task.VideoState == Downloading || task.VideoState == Transcoding)
            TaskManager->AddTask(task);
    }
    TaskCount = static_cast<int>(Entries.size());
    UpdateContentSize();
    StartScheduler();
}

void NdTaskListView::InitNewDownloadTasks(const std::string& token, bool isUrl)
{
    if (Creating || token.empty())
        return;
    std::vector<DownloadTaskParam_t> tasks;
    QString dir;
    {
        // Cleared again on every way out of this block.
        const QScopedValueRollback<bool> creating(Creating, true);
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

int NdTaskListView::RunOverMask(NdDialog& dialog)
{
    return dialog.DoModalOverMask([this](bool show) { emit sigShowMask(show); });
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
    const int answer = RunOverMask(dialog);
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
    const int room = kMaxTasks - static_cast<int>(Entries.size());
    if (static_cast<int>(tasks.size()) > room)
        tasks.resize(static_cast<size_t>(std::max(room, 0)));
    if (tasks.empty()) {
        emit sigToastTip(QStringLiteral("tip"), Str("NdDownloader.MaxFileCount"), QSize(220, 38));
        return;
    }

    NdCacheManager* store = NdCacheManager::GetInstance();
    std::vector<DownloadTaskParam_t> listed = GetTasks();
    const int request = ++LastRequest;
    Requests[request] = {static_cast<int>(tasks.size()), static_cast<int>(tasks.size())};
    for (DownloadTaskParam_t task : tasks) {
        // Against the tasks of this request made so far too: two lessons of
        // one name get two names, and each record names its own file.
        task.VideoName = SettleVideoName(task.VideoName, dir, listed);
        task.VideoDownloadPath = NdCommHelper::ToUtf8(dir);
        task.VideoTempPath = NdCommHelper::ToUtf8(NdTaskFolder::CreateNew(dir));
        listed.push_back(task);
        // Listed, queued, stored: the list knows a task before it can report.
        AddEntry(task, true);
        Entries.front()->Request = request;
        TaskManager->AddTask(task);
        store->SaveOneDownloadTask(task);
    }
    TaskCount = static_cast<int>(Entries.size());
    UpdateContentSize();
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
    if (Entry_t* entry = Find(param.VideoTempPath))
        entry->Record.VideoState = param.VideoState;
    TaskManager->ChangeDownloadState(param);
}

void NdTaskListView::slotDelete()
{
    NdReportClick("btn_delete");
    NdTaskItem* item = qobject_cast<NdTaskItem*>(sender());
    if (!EntryOf(item))
        return;
    // Taken now: while the question is open, the row may come to show another task.
    const DownloadTaskParam_t record = item->GetDownloadTaskParam();
    NdQuestionBox box(this, Str("NdDownloader.SureDeleteRecord"), 480, 116);
    const int answer = RunOverMask(box);
    if (answer == 0)
        return;
    const bool deleteLocalFile = box.IsDeleteLocalFile();
    if (deleteLocalFile)
        NdReportClick("btn_deletedlg_local_file");
    DeleteTask(record, deleteLocalFile);
    emit sigToastTip(QStringLiteral("success"), Str("NdDownloader.DeletedTask"), QSize(116, 38));
}

void NdTaskListView::DeleteTask(const DownloadTaskParam_t& record, bool deleteLocalFile)
{
    DeleteFromEngineAndStore(record, deleteLocalFile);
    Unlist([&](const Entry_t& entry) { return entry.Record.VideoTempPath == record.VideoTempPath; });
}

void NdTaskListView::DeleteFromEngineAndStore(const DownloadTaskParam_t& record, bool deleteLocalFile)
{
    // Out of the scheduler first: once RemoveTask has returned, no task thread
    // reports, stores or touches the working folder again.
    TaskManager->RemoveTask(record);
    INdDownloaderBackEnd::GetInstance()->DeleteTask(record, deleteLocalFile);
    ND_LOG(LogInfo, "deleted task %s", record.VideoName.c_str());
}

void NdTaskListView::Unlist(const std::function<bool(const Entry_t&)>& picks)
{
    const auto gone
        = std::stable_partition(Entries.begin(), Entries.end(), [&](const auto& entry) { return !picks(*entry); });
    for (auto it = gone; it != Entries.end(); ++it) {
        ForgetUnfinished(**it);
        ByTempPath.erase((*it)->Record.VideoTempPath);
        --TaskCount;
    }
    Entries.erase(gone, Entries.end());
    UpdateContentSize();
}

void NdTaskListView::onVideoRenamed(const std::string& tempPath, const QString& videoName)
{
    Entry_t* entry = Find(tempPath);
    if (!entry)
        return;
    entry->Record.VideoName = NdCommHelper::ToUtf8(videoName);
    if (entry->Record.TaskItem)
        entry->Record.TaskItem->onVideoRenamed(videoName);
}
