#pragma once

#include "NdWidget.h"

#include "NdCore/NdDownloadTaskParam.h"

#include <QSize>

class NdButton;
class NdLabel;
class NdRadiusTipLabel;

// The row of one download task: name, size, state with percentage, speed and
// the start/pause, open-folder and delete buttons. Keeps its own copy of the
// task record and receives progress from the task thread.
class NdTaskItem : public NdWidget
{
    Q_OBJECT
public:
    NdTaskItem(QWidget* parent, const DownloadTaskParam_t& param);

    const DownloadTaskParam_t& GetDownloadTaskParam() const;
    void SetDownloadTaskParam(const DownloadTaskParam_t& param);
    // Shows a task: its record, the percentage the engine reported last (for
    // a task of unknown size), its last speed and the time it has left. The
    // list reuses its rows.
    void Bind(const DownloadTaskParam_t& param, int lastPercent, const QString& speed, const QString& timeLeft);
    // Beside the speed while the task downloads; empty hides it.
    void ShowTimeLeft(const QString& timeLeft);
    // The row the keyboard acts on.
    void SetSelected(bool selected);
    // Opens the finished video with the desktop's player; a video that is gone
    // shows the task as missing its file instead.
    void OpenVideo();
    // Clicks the row's own buttons, as the keyboard and the list's menu do.
    void ClickStartPause();
    void ClickDelete();
    void ClickFolder();
    void Update();
    void TranslateText() override;

    static QString GetTextFromDownloadState(int state);
    static QString GetStateStrFromDowmloadState(int state);
    static QString GetSizeNumberStr(float size);
    static QString GetSizeNumberStr(float done, float total);
    // "剩余 3分12秒", "3 min 12 s left"; empty for a negative count.
    static QString GetTimeLeftStr(qint64 seconds);

signals:
    void sigDelete();
    void sigChangeDownloadState(const DownloadTaskParam_t& param);
    void sigToastTip(const QString& type, const QString& text, const QSize& size);
    void sigShowWindow();
    void sigStartDownload();
    void sigDirNoExist();
    void sigSelected();

public slots:
    void onRefreshDownloadResult(float size, int percent, int state, const QString& speed);
    // The task's video took another free name, and this row follows it.
    void onVideoRenamed(const QString& videoName);

protected:
    void InitUi();
    void ConnectSignals();
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void onStartPauseClicked();
    void onFolderClicked();
    void RequestStateChange(int newState, const char* event);
    void ShowStartPause(int state, bool pauseLook);
    void ShowStateIcon(int state);
    void ShowStateText(int state, int percent);
    void ShowSpeed();
    int PercentOfRecord() const;
    bool IsOutputFileMissing() const;

    NdLabel* FileImageLabel = nullptr;
    NdRadiusTipLabel* FileNameLabel = nullptr;
    NdLabel* SizeLabel = nullptr;
    NdLabel* StateImageLabel = nullptr;
    NdLabel* StateTextLabel = nullptr;
    NdLabel* SpeedLabel = nullptr;
    NdButton* StartPauseBtn = nullptr;
    NdButton* FolderBtn = nullptr;
    NdButton* DeleteBtn = nullptr;
    NdLabel* SplitLabel = nullptr;
    DownloadTaskParam_t Param;
    // The percentage the engine reported last; shown when the record holds no
    // expected size to compute it from.
    int LastReportedPercent = 0;
    QString Speed;
    QString TimeLeft;
};
