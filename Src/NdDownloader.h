#pragma once

#include "NdWidget.h"

#include "INdDownloaderBackEnd.h"

#include <QPointer>
#include <QSize>
#include <QString>
#include <QTimer>

#include <string>

class NdCommonMask;
class NdDialog;
class NdDownloaderTitleBar;
class NdLabel;
class NdNetworkTest;
class NdNoDownloadTaskView;
class NdStatusPromptBar;
class NdTaskListView;
class NdTaskNotices;
class NdToastTip;
class QStackedWidget;

// The program's main window: title bar, column headers, and either the empty
// page or the task list. Takes new-task requests from the start-up request,
// the open-URL events and the clipboard; shows the toast and the dim mask.
class NdDownloader : public NdWidget
{
    Q_OBJECT
public:
    NdDownloader(QWidget* parent, const std::string& startRequest, const NdSoftVersion_t& version);
    ~NdDownloader() override;

    NdCommonMask* GetMask();
    NdTaskListView* GetTaskListView() const { return TaskListView; }
    void TranslateText() override;

    // What a request looks like in the log: a token keeps its first four
    // characters, a playlist address loses its query.
    static QString MaskedRequest(const QString& request);

signals:
    void sigSystemTray(bool hide);

public slots:
    void onGetNewTask(const std::string& request);
    void slotNetworkState(bool up);

protected:
    void InitUi();
    void ConnectSignals();
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Hands a request text on to the task list when it holds a marker;
    // false when it holds none.
    bool TakeRequest(const QString& text);
    void onClipboardChanged();
    void onCurrentItems(int count);
    void ShowToast(const QString& type, const QString& text, const QSize& size);
    void onToastTimeout();
    void ShowOfflineToast();
    void ShowMask(bool show);
    int RunOverMask(NdDialog& dialog);
    // Minimised, hidden, or behind another window.
    bool IsAway() const;
    void onAbout();
    void onCheckUpdate();

    NdDownloaderTitleBar* TitleBar = nullptr;
    NdLabel* SplitLineLabel = nullptr;
    NdStatusPromptBar* StatusPromptBar = nullptr;
    QStackedWidget* StackedWidget = nullptr;
    NdNoDownloadTaskView* NoDownloadTaskView = nullptr;
    NdTaskListView* TaskListView = nullptr;
    NdToastTip* ToastTip = nullptr;
    QTimer ToastTimer;
    NdSoftVersion_t Version;
    QPointer<NdCommonMask> Mask;
    std::string StartRequest;
    bool ShownOnce = false;
    bool NetworkUp = true;
    NdNetworkTest* NetworkTest = nullptr;
    NdTaskNotices* Notices = nullptr;
};
