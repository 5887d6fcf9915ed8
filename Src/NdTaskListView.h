#pragma once

#include "NdWidget.h"

#include "NdCore/NdDownloadTaskParam.h"

#include <QList>
#include <QSize>
#include <QString>

#include <string>
#include <vector>

class NdDownloadTaskManager;
class NdLabel;
class NdTaskItem;
class QScrollArea;
class QVBoxLayout;

// The list of download tasks: one row per task, newest on top. Owns the
// scheduler, restores the stored tasks at start-up, turns requests into new
// tasks and deletes tasks on the user's request.
class NdTaskListView : public NdWidget
{
    Q_OBJECT
public:
    // More tasks than this are never listed.
    static constexpr int kMaxTasks = 1000000;

    explicit NdTaskListView(QWidget* parent = nullptr);
    ~NdTaskListView() override;

    void AddItem(DownloadTaskParam_t& param);
    void InitLocalDownloadTasks();
    // token: an access token, or a playlist address when isUrl is true.
    void InitNewDownloadTasks(const std::string& token, bool isUrl);
    NdDownloadTaskManager* GetDownloadTaskManager() const { return m_pTaskManager; }
    // The name of the first stored task that is downloading; empty if none.
    QString GetCurrentDownloadTaskName() const;
    int GetItemCount() const { return m_items.size(); }
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

public slots:
    void slotDelete();
    void slotChangeDownloadState(const DownloadTaskParam_t& param);

protected:
    void InitUi();

private:
    bool FetchNewTasks(const std::string& token, bool isUrl, std::vector<DownloadTaskParam_t>& tasks);
    void ReportCrashOnce(const DownloadTaskParam_t& first);
    bool AskDownloadFolder(const std::vector<DownloadTaskParam_t>& tasks, QString& dir);
    void CreateTasks(std::vector<DownloadTaskParam_t>& tasks, const QString& dir);
    void DeleteRow(NdTaskItem* item, bool deleteLocalFile);
    void onVideoRenamed(const std::string& tempPath, const QString& videoName);
    void UpdateContentSize();
    void StartScheduler();

    NdWidget* m_pContentWidget = nullptr;
    QScrollArea* m_pScrollArea = nullptr;
    QVBoxLayout* m_pRowLayout = nullptr;
    QList<NdTaskItem*> m_items;
    std::vector<DownloadTaskParam_t> m_tasks;
    int m_nTaskCount = 0;
    NdDownloadTaskManager* m_pTaskManager = nullptr;
    NdLabel* m_pSupportLabel = nullptr;

    // Set while a request is being turned into tasks, in every view: a second
    // request meanwhile is dropped.
    static bool sm_bCreating;
};
