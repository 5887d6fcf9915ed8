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
    : NdWidget(parent), m_version(version), m_strStartRequest(startRequest)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    InitUi();
    ConnectSignals();
    TranslateText();
    m_pTaskListView->InitLocalDownloadTasks();
}

NdDownloader::~NdDownloader()
{
    // The probe signals this window: it ends first.
    delete m_pNetworkTest;
}

void NdDownloader::InitUi()
{
    m_pTitleBar = new NdDownloaderTitleBar(this, m_version);
    m_pTitleBar->setFixedHeight(48);
    m_pSplitLineLabel = NdMakeLabel(this, "NdDownloader_SplitLineLabel");
    m_pSplitLineLabel->setFixedHeight(1);
    m_pStatusPromptBar = new NdStatusPromptBar(this);
    m_pStatusPromptBar->setFixedSize(1032, 40);

    m_pStackedWidget = new QStackedWidget(this);
    m_pNoDownloadTaskView = new NdNoDownloadTaskView(m_pStackedWidget);
    m_pTaskListView = new NdTaskListView(m_pStackedWidget);
    m_pStackedWidget->addWidget(m_pNoDownloadTaskView);
    m_pStackedWidget->addWidget(m_pTaskListView);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);
    layout->addWidget(m_pTitleBar);
    layout->addWidget(m_pSplitLineLabel);
    layout->addSpacing(16);
    layout->addWidget(m_pStatusPromptBar, 0, Qt::AlignHCenter);
    layout->addWidget(m_pStackedWidget);

    m_pToastTip = new NdToastTip(this);
    m_pToastTip->hide();
    m_toastTimer.setSingleShot(true);
    m_toastTimer.setTimerType(Qt::CoarseTimer);
    m_pNotices = new NdTaskNotices(this, [this]() { return IsAway(); });
}

bool NdDownloader::IsAway() const
{
    return !isVisible() || isMinimized() || !isActiveWindow();
}

void NdDownloader::ConnectSignals()
{
    connect(m_pTitleBar, &NdDownloaderTitleBar::sigCheckUpdate, this, &NdDownloader::onCheckUpdate);
    connect(m_pTitleBar, &NdDownloaderTitleBar::sigAbout, this, &NdDownloader::onAbout);
    connect(
        m_pTaskListView, &NdTaskListView::sigShowWindow, this,
        [this]() {
            showNormal();
            activateWindow();
            raise();
        },
        Qt::DirectConnection);
    connect(m_pTaskListView, &NdTaskListView::sigCurrentItems, this, &NdDownloader::onCurrentItems);
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, &NdDownloader::onClipboardChanged,
        Qt::QueuedConnection);
    connect(m_pTaskListView, &NdTaskListView::sigToastTip, this, &NdDownloader::ShowToast);
    connect(m_pTaskListView, &NdTaskListView::sigShowMask, this, &NdDownloader::ShowMask, Qt::DirectConnection);
    connect(&m_toastTimer, &QTimer::timeout, this, &NdDownloader::onToastTimeout);
    connect(m_pTaskListView, &NdTaskListView::sigRequestFinished, m_pNotices, &NdTaskNotices::onRequestFinished);
    connect(m_pTaskListView, &NdTaskListView::sigTaskFailed, m_pNotices, &NdTaskNotices::onTaskFailed);

    // A request already on the clipboard at start-up takes the clipboard's
    // road. It is read, not written back: writing would take the clipboard
    // from its owner and drop whatever it held besides text.
    QMetaObject::invokeMethod(this, &NdDownloader::onClipboardChanged, Qt::QueuedConnection);

    m_pNetworkTest = new NdNetworkTest(this);
    m_pNetworkTest->start();
}

void NdDownloader::TranslateText()
{
    setWindowTitle(Str("NdDownloader.ProductName"));
}

NdCommonMask* NdDownloader::GetMask()
{
    if (!m_pMask) {
        m_pMask = new NdCommonMask(this);
        m_pMask->setGeometry(0, 0, width(), height());
    }
    return m_pMask;
}

void NdDownloader::ShowMask(bool show)
{
    if (show) {
        GetMask()->setGeometry(0, 0, width(), height());
        GetMask()->raise();
        GetMask()->show();
    } else if (m_pMask) {
        m_pMask->hide();
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
    m_pTaskListView->InitNewDownloadTasks(NdCommHelper::ToUtf8(rest), !hasToken);
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
    m_pStackedWidget->setCurrentIndex(count < 1 ? 0 : 1);
}

void NdDownloader::ShowToast(const QString& type, const QString& text, const QSize& size)
{
    m_pToastTip->SetInfo(type, text);
    m_pToastTip->setGeometry((width() - size.width()) / 2, kToastTop, size.width(), size.height());
    m_pToastTip->raise();
    m_pToastTip->show();
    // One timer for every toast, restarted: a newer toast keeps its whole time.
    m_toastTimer.start(kToastMs);
}

void NdDownloader::onToastTimeout()
{
    // While the network is down its notice stays up, behind any other toast.
    if (m_bNetworkUp)
        m_pToastTip->hide();
    else
        ShowOfflineToast();
}

void NdDownloader::ShowOfflineToast()
{
    m_pToastTip->SetInfo(QStringLiteral("error"), Str("NdDownloader.Offline"));
    m_pToastTip->setGeometry(
        (width() - kOfflineToastSize.width()) / 2, kToastTop, kOfflineToastSize.width(), kOfflineToastSize.height());
    m_pToastTip->raise();
    m_pToastTip->show();
}

void NdDownloader::slotNetworkState(bool up)
{
    if (up == m_bNetworkUp)
        return;
    m_bNetworkUp = up;
    ND_LOG(LogInfo, "network %s", up ? "up" : "down");
    m_pTaskListView->GetDownloadTaskManager()->SetNetworkState(up);
    if (!up) {
        m_toastTimer.stop();
        ShowOfflineToast();
    } else if (!m_pToastTip->isHidden()) {
        m_pToastTip->hide();
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
    NdUpdateDlg dialog(this, m_version);
    RunOverMask(dialog);
}

int NdDownloader::RunOverMask(NdDialog& dialog)
{
    return dialog.DoModalOverMask([this](bool show) { ShowMask(show); });
}

void NdDownloader::showEvent(QShowEvent* event)
{
    NdWidget::showEvent(event);
    if (m_bShownOnce)
        return;
    m_bShownOnce = true;
    QTimer::singleShot(10, this, [this]() { m_pTaskListView->InitNewDownloadTasks(m_strStartRequest, false); });
}

void NdDownloader::paintEvent(QPaintEvent* event)
{
    NdWidget::paintEvent(event);
}

void NdDownloader::closeEvent(QCloseEvent* event)
{
    const QString downloading = m_pTaskListView->GetCurrentDownloadTaskName();
    if (downloading.isEmpty()) {
        event->accept();
        return;
    }
    NdCloseDlg dialog(this);
    dialog.SetDownloadFileName(downloading);
    dialog.resize(480, 280);
    switch (RunOverMask(dialog)) {
    case NdCloseDlg::StopAndQuit: {
        NdDownloadTaskManager* scheduler = m_pTaskListView->GetDownloadTaskManager();
        scheduler->stop();
        scheduler->wait(QDeadlineTimer(QDeadlineTimer::Forever));
        event->accept();
        break;
    }
    case NdCloseDlg::ContinueDownloading:
        emit m_pTitleBar->sigClickMinBtn(true);
        event->ignore();
        break;
    default:
        event->ignore();
        break;
    }
}
