#include "NdDownloader.h"

#include "NdAboutDlg.h"
#include "NdCloseDlg.h"
#include "NdCommonMask.h"
#include "NdDownloadTaskManager.h"
#include "NdDownloaderTitleBar.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdNetworkTest.h"
#include "NdNoDownloadTaskView.h"
#include "NdReporter.h"
#include "NdStatusPromptBar.h"
#include "NdTaskListView.h"
#include "NdTaskNotices.h"
#include "NdToastTip.h"
#include "NdUpdateDlg.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

const QString kTokenMarker = QStringLiteral("nadioDownLoader-token-");
const QString kUrlMarker = QStringLiteral("nadioDownLoader-url-");
const int kToastMs = 4000;
const int kToastTop = 40;
const QSize kOfflineToastSize(160, 38);
const int kShownTokenChars = 4;

} // namespace

NdDownloader::NdDownloader(QWidget* parent, const std::string& startRequest, const NdSoftVersion_t& version)
    : NdWidget(parent), Version(version), StartRequest(startRequest)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    InitUi();
    ConnectSignals();
    TranslateText();
    TaskListView->InitLocalDownloadTasks();
}

NdDownloader::~NdDownloader()
{
    // The probe signals this window: it ends first.
    delete NetworkTest;
}

void NdDownloader::InitUi()
{
    TitleBar = new NdDownloaderTitleBar(this, Version);
    TitleBar->setFixedHeight(48);
    SplitLineLabel = NdMakeLabel(this, "NdDownloader_SplitLineLabel");
    SplitLineLabel->setFixedHeight(1);
    StatusPromptBar = new NdStatusPromptBar(this);
    StatusPromptBar->setFixedSize(1032, 40);

    StackedWidget = new QStackedWidget(this);
    NoDownloadTaskView = new NdNoDownloadTaskView(StackedWidget);
    TaskListView = new NdTaskListView(StackedWidget);
    StackedWidget->addWidget(NoDownloadTaskView);
    StackedWidget->addWidget(TaskListView);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);
    layout->addWidget(TitleBar);
    layout->addWidget(SplitLineLabel);
    layout->addSpacing(16);
    layout->addWidget(StatusPromptBar, 0, Qt::AlignHCenter);
    layout->addWidget(StackedWidget);

    ToastTip = new NdToastTip(this);
    ToastTip->hide();
    ToastTimer.setSingleShot(true);
    ToastTimer.setTimerType(Qt::CoarseTimer);
    Notices = new NdTaskNotices(this, [this]() { return IsAway(); });
}

bool NdDownloader::IsAway() const
{
    return !isVisible() || isMinimized() || !isActiveWindow();
}

void NdDownloader::ConnectSignals()
{
    connect(TitleBar, &NdDownloaderTitleBar::sigCheckUpdate, this, &NdDownloader::onCheckUpdate);
    connect(TitleBar, &NdDownloaderTitleBar::sigAbout, this, &NdDownloader::onAbout);
    connect(
        TaskListView, &NdTaskListView::sigShowWindow, this,
        [this]() {
            showNormal();
            activateWindow();
            raise();
        },
        Qt::DirectConnection);
    connect(TaskListView, &NdTaskListView::sigCurrentItems, this, &NdDownloader::onCurrentItems);
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, &NdDownloader::onClipboardChanged,
        Qt::QueuedConnection);
    connect(TaskListView, &NdTaskListView::sigToastTip, this, &NdDownloader::ShowToast);
    connect(TaskListView, &NdTaskListView::sigShowMask, this, &NdDownloader::ShowMask, Qt::DirectConnection);
    connect(&ToastTimer, &QTimer::timeout, this, &NdDownloader::onToastTimeout);
    connect(TaskListView, &NdTaskListView::sigRequestFinished, Notices, &NdTaskNotices::onRequestFinished);
    connect(TaskListView, &NdTaskListView::sigTaskFailed, Notices, &NdTaskNotices::onTaskFailed);

    // A request already on the clipboard at start-up takes the clipboard's
    // road. It is read, not written back: writing would take the clipboard
    // from its owner and drop whatever it held besides text.
    QMetaObject::invokeMethod(this, &NdDownloader::onClipboardChanged, Qt::QueuedConnection);

    NetworkTest = new NdNetworkTest(this);
    NetworkTest->start();
}

void NdDownloader::TranslateText()
{
    setWindowTitle(Str("NdDownloader.ProductName"));
}

NdCommonMask* NdDownloader::GetMask()
{
    if (!Mask) {
        Mask = new NdCommonMask(this);
        Mask->setGeometry(0, 0, width(), height());
    }
    return Mask;
}

void NdDownloader::ShowMask(bool show)
{
    if (show) {
        GetMask()->setGeometry(0, 0, width(), height());
        GetMask()->raise();
        GetMask()->show();
    } else if (Mask) {
        Mask->hide();
    }
}

QString NdDownloader::MaskedRequest(const QString& request)
{
    const int token = request.indexOf(kTokenMarker);
    if (token >= 0) {
        const int shownEnd = token + kTokenMarker.size() + kShownTokenChars;
        return shownEnd < request.size() ? request.left(shownEnd) + QChar(0x2026) : request;
    }
    if (request.contains(kUrlMarker)) {
        const int query = request.indexOf(QLatin1Char('?'));
        return query < 0 ? request : request.left(query + 1) + QChar(0x2026);
    }
    return request.size() > kShownTokenChars ? request.left(kShownTokenChars) + QChar(0x2026) : request;
}

void NdDownloader::onGetNewTask(const std::string& request)
{
    const QString text = NdCommHelper::FromUtf8(request);
    ND_LOG(LogInfo, "onGetNewTask,urlParam:%s", qUtf8Printable(MaskedRequest(text)));
    TakeRequest(text);
}

bool NdDownloader::TakeRequest(const QString& text)
{
    const bool hasToken = text.contains(kTokenMarker);
    if (!hasToken && !text.contains(kUrlMarker))
        return false;
    emit sigSystemTray(false);
    QString rest = text;
    rest.remove(hasToken ? kTokenMarker : kUrlMarker);
    TaskListView->InitNewDownloadTasks(NdCommHelper::ToUtf8(rest), !hasToken);
    return true;
}

void NdDownloader::onClipboardChanged()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QString text = clipboard->text();
    if (text.isEmpty() || !TakeRequest(text))
        return;
    clipboard->setText(QString());
}

void NdDownloader::onCurrentItems(int count)
{
    StackedWidget->setCurrentIndex(count < 1 ? 0 : 1);
}

void NdDownloader::ShowToast(const QString& type, const QString& text, const QSize& size)
{
    ToastTip->SetInfo(type, text);
    ToastTip->setGeometry((width() - size.width()) / 2, kToastTop, size.width(), size.height());
    ToastTip->raise();
    ToastTip->show();
    // One timer for every toast, restarted: a newer toast keeps its whole time.
    ToastTimer.start(kToastMs);
}

void NdDownloader::onToastTimeout()
{
    // While the network is down its notice stays up, behind any other toast.
    if (NetworkUp)
        ToastTip->hide();
    else
        ShowOfflineToast();
}

void NdDownloader::ShowOfflineToast()
{
    ToastTip->SetInfo(QStringLiteral("error"), Str("NdDownloader.Offline"));
    ToastTip->setGeometry(
        (width() - kOfflineToastSize.width()) / 2, kToastTop, kOfflineToastSize.width(), kOfflineToastSize.height());
    ToastTip->raise();
    ToastTip->show();
}

void NdDownloader::slotNetworkState(bool up)
{
    if (up == NetworkUp)
        return;
    NetworkUp = up;
    ND_LOG(LogInfo, "network %s", up ? "up" : "down");
    TaskListView->GetDownloadTaskManager()->SetNetworkState(up);
    if (!up) {
        ToastTimer.stop();
        ShowOfflineToast();
    } else if (!ToastTip->isHidden()) {
        ToastTip->hide();
    }
}

void NdDownloader::onAbout()
{
    NdReportClick("btn_aboutdlg");
    NdAboutDlg dialog(this);
    dialog.resize(420, 280);
    RunOverMask(dialog);
}

void NdDownloader::onCheckUpdate()
{
    NdReportClick("btn_updatedlg");
    NdUpdateDlg dialog(this, Version);
    RunOverMask(dialog);
}

int NdDownloader::RunOverMask(NdDialog& dialog)
{
    return dialog.DoModalOverMask([this](bool show) { ShowMask(show); });
}

void NdDownloader::showEvent(QShowEvent* event)
{
    NdWidget::showEvent(event);
    if (ShownOnce)
        return;
    ShownOnce = true;
    QTimer::singleShot(10, this, [this]() { TaskListView->InitNewDownloadTasks(StartRequest, false); });
}

void NdDownloader::paintEvent(QPaintEvent* event)
{
    NdWidget::paintEvent(event);
}

void NdDownloader::closeEvent(QCloseEvent* event)
{
    const QString downloading = TaskListView->GetCurrentDownloadTaskName();
    if (downloading.isEmpty()) {
        event->accept();
        return;
    }
    NdCloseDlg dialog(this);
    dialog.SetDownloadFileName(downloading);
    dialog.resize(480, 280);
    switch (RunOverMask(dialog)) {
    case NdCloseDlg::StopAndQuit: {
        NdDownloadTaskManager* scheduler = TaskListView->GetDownloadTaskManager();
        scheduler->stop();
        scheduler->wait(QDeadlineTimer(QDeadlineTimer::Forever));
        event->accept();
        break;
    }
    case NdCloseDlg::ContinueDownloading:
        emit TitleBar->sigClickMinBtn(true);
        event->ignore();
        break;
    default:
        event->ignore();
        break;
    }
}
