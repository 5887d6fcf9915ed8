#pragma once

#include "NdWidget.h"

#include "NdTimeLeft.h"

#include "NdCore/NdDownloadTaskParam.h"

#include <QElapsedTimer>
#include <QList>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class NdDialog;
class NdDownloadTaskManager;
class NdLabel;
class NdTaskItem;
class NdTaskRowArea;
class QMenu;

// The list of download tasks, newest on top. Owns the scheduler, restores the
// stored tasks at start-up, turns requests into new tasks and deletes tasks on
// the user's request. It keeps a record per task and makes rows only for the
// tasks in view, reusing them as the list scrolls, so that a long history
// costs neither time nor memory: a record's TaskItem is its row while one
// shows it, and the engine's reports reach the record, and its row if shown.
class NdTaskListView : public NdWidget
{
    Q_OBJECT
public:
    // More tasks than this are never listed.
    static constexpr int kMaxTasks = 1000000;

    explicit NdTaskListView(QWidget* parent = nullptr);
    ~NdTaskListView() override;

    void InitLocalDownloadTasks();
    // token: an access token, or a playlist address when isUrl is true.
    void InitNewDownloadTasks(const std::string& token, bool isUrl);
    NdDownloadTaskManager* GetDownloadTaskManager() const { return TaskManager; }
    // The name of the first stored task that is downloading; empty if none.
    QString GetCurrentDownloadTaskName() const;
    int GetItemCount() const { return static_cast<int>(Entries.size()); }
    // The records in the order the list shows them, newest first.
    std::vector<DownloadTaskParam_t> GetTasks() const;
    // The menu of the list's right click: all tasks at once, and the folder of
    // the task under the mouse (row: may be null). The caller owns it.
    QMenu* MakeContextMenu(NdTaskItem* row);
    void TranslateText() override;

    // The name a new video gets in a download folder: its received name made
    // valid on disk, then the first of "name", "name(1)", "name(2)", … that is
    // neither an ".mp4" file in dir nor the video of a listed task of dir.
    static std::string SettleVideoName(
        const std::string& received, const QString& dir, const std::vector<DownloadTaskParam_t>& listed);

signals:
    void sigCurrentItems(int count);
    void sigToastTip(const QString& type, const QString& text, const QSize& size);
    void sigShowWindow();
    void sigShowMask(bool show);
    // Every task of one request has finished: how many, one's name, their folder.
    void sigRequestFinished(int count, const QString& lesson, const QString& folder);
    void sigTaskFailed(const QString& lesson, const QString& folder);

public slots:
    void slotDelete();
    void slotChangeDownloadState(const DownloadTaskParam_t& param);

protected:
    void InitUi();
    // Delete asks to delete, Space starts or pauses, the task under the mouse
    // or else the one selected last.
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct Entry_t
    {
        DownloadTaskParam_t Record; // the list's copy; TaskItem: its row while one shows it
        int LastPercent = 0;        // what the engine reported last, for a task of unknown size
        QString Speed;
        NdTimeLeft Estimate;
        QString TimeLeft;
        unsigned Layout = 0; // the last layout that found it in view
        int Request = 0;     // the request it came with in this run; 0: from the store
    };
    // A request of this run, until its tasks have all finished.
    struct Request_t
    {
        int Count = 0;
        int Unfinished = 0;
    };

    void ConnectToEngine();
    void AddEntry(const DownloadTaskParam_t& record, bool onTop);
    Entry_t* Find(const std::string& tempPath) const;
    Entry_t* EntryOf(QObject* row) const;
    NdTaskItem* MakeRow();
    void BindRow(NdTaskItem* row, Entry_t* entry);
    // Binds rows to the records in view, after a scroll, a resize, an addition or a removal.
    void LayoutRows();
    void onTaskReport(const std::string& tempPath, float size, int percent, int state, const QString& speed);
    void EstimateTimeLeft(Entry_t& entry, int previousState);
    void TellOfEnd(const Entry_t& entry, int previousState);
    void ForgetUnfinished(const Entry_t& entry);
    NdTaskItem* RowForKeys() const;
    void onRowSelected();
    // What the buttons of a row would do, for every task in one of the states.
    void ChangeStates(const std::vector<int>& from, int to);
    bool HasTaskIn(const std::vector<int>& states) const;
    void RemoveFinished();
    bool FetchNewTasks(const std::string& token, bool isUrl, std::vector<DownloadTaskParam_t>& tasks);
    void ReportCrashOnce(const DownloadTaskParam_t& first);
    int RunOverMask(NdDialog& dialog);
    bool AskDownloadFolder(const std::vector<DownloadTaskParam_t>& tasks, QString& dir);
    void CreateTasks(std::vector<DownloadTaskParam_t>& tasks, const QString& dir);
    void DeleteTask(const DownloadTaskParam_t& record, bool deleteLocalFile);
    void DeleteFromEngineAndStore(const DownloadTaskParam_t& record, bool deleteLocalFile);
    // Takes the entries it picks off the list, and lays the list out once.
    void Unlist(const std::function<bool(const Entry_t&)>& picks);
    void onVideoRenamed(const std::string& tempPath, const QString& videoName);
    void UpdateContentSize();
    void StartScheduler();

    NdTaskRowArea* RowArea = nullptr;
    QList<NdTaskItem*> Rows;                       // made so far; a row without an entry is hidden
    std::vector<std::unique_ptr<Entry_t>> Entries; // newest on top
    std::unordered_map<std::string, Entry_t*> ByTempPath;
    unsigned Layout = 0;
    std::unordered_map<int, Request_t> Requests;
    int LastRequest = 0;
    std::string Selected; // the working folder of the task selected last
    QElapsedTimer Clock;
    int TaskCount = 0;
    NdDownloadTaskManager* TaskManager = nullptr;
    NdLabel* SupportLabel = nullptr;

    // Set while a request is being turned into tasks, in every view: a second
    // request meanwhile is dropped.
    static bool Creating;
};
