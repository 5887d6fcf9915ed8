#include "NdApp.h"

#include "INdDownloaderBackEnd.h"
#include "NdConverter.h"
#include "NdDownloader.h"
#include "NdLanguageHelper.h"
#include "NdOpenEventFilter.h"
#include "NdReporter.h"
#include "NdUpdateDlg.h"
#include "NdVersion.h"
#include "NdWidget.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdLogManager.h"

#include <QCursor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLocale>
#include <QScreen>
#include <QStandardPaths>

namespace {

using NdDownloaderInterface::INdDownloaderBackEnd;

const QSize kMainWindowSize(1080, 640);

void InitPersistentSettings()
{
    NdCacheManager* store = NdCacheManager::GetInstance();
    if (store->GetBackEndEnvironment() == Production)
        store->SetBackEndEnvironment(Production);
    if (!store->GetIsCrash())
        store->SetIsCrash(false);
}

// One line for support: which copy of the program runs, the deployment file
// and server it uses, whether its language file and ffmpeg were found.
void LogStartUp()
{
    const QString deployFile = QFileInfo(NdDeploySettings::DefaultFilePath()).canonicalFilePath();
    const int environment = NdCacheManager::GetInstance()->GetBackEndEnvironment();
    const QString ffmpeg = NdConverter::FfmpegPath();
    ND_LOG(LogInfo, "NdDownloader %s in %s; deployment %s, admin %s; product name \"%s\"; ffmpeg %s",
        qUtf8Printable(NdProgramVersion()), qUtf8Printable(QCoreApplication::applicationDirPath()),
        deployFile.isEmpty() ? "missing" : qUtf8Printable(deployFile),
        qUtf8Printable(NdDeploySettings::Get().AdminBaseUrl(environment)),
        qUtf8Printable(Str("NdDownloader.ProductName")), ffmpeg.isEmpty() ? "missing" : qUtf8Printable(ffmpeg));
}

QScreen* ScreenUnderCursor()
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    return screen ? screen : QGuiApplication::primaryScreen();
}

} // namespace

NdApp::NdApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("NdDownloader"));
    setApplicationVersion(NdProgramVersion());
    // Wayland and the session match the windows to the installed nddownloader.desktop.
    setDesktopFileName(QStringLiteral("nddownloader"));
    INdDownloaderBackEnd::GetInstance()->ReportInfo(DownloadTaskParam_t(), DownloadReport, "pc_enter_client_mac", true);
    InitPersistentSettings();
    // The title bars of the kit are reported like every other button.
    NdSetClickHandler(&NdReportClick);
    setWindowIcon(QIcon(QStringLiteral(":/res/img/logo_42x42.ico")));
    NdApplyApplicationFont();
}

NdApp::~NdApp()
{
    // The task threads ended with the main window: the progress they stored last is written.
    NdCacheManager::GetInstance()->Flush();
    NdLogManager::UnInstall();
}

NdDownloader* NdApp::GetMainWindow() const
{
    return MainWindow;
}

QString NdApp::BasicSettingsError()
{
    return QStringLiteral("Failed to initialize basic settings, please restart the program.");
}

bool NdApp::InitBasicSettings()
{
    NdLogManager::Install();
    // The log, the task store and the settings all live in this folder: a
    // program that cannot make it can keep nothing.
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (dataDir.isEmpty() || !QDir().mkpath(dataDir) || !QFileInfo(dataDir).isWritable())
        return false;
    InitQss();
    NdLanguageHelper* language = NdLanguageHelper::GetInstance();
    // Loaded first, the language every bundle carries stays in force when the
    // desktop's language has no file here.
    language->Init(NdLanguageHelper::kFirstLanguage);
    const bool languageLoaded = language->Init(NdLanguageHelper::LanguageFor(QLocale::system()));
    LogStartUp();
    return languageLoaded;
}

bool NdApp::InitQss()
{
    static const char* const styleSheets[] = {":/res/qss/nddownload_2x.qss"};
    QString text;
    for (const char* path : styleSheets) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        text += QString::fromUtf8(file.readAll());
    }
    setStyleSheet(text);
    return true;
}

int NdApp::Start()
{
    INdDownloaderBackEnd::GetInstance()->GetSoftVersion(Version);
    if (!Version.MustUpdate) {
        InitNdDownloader();
        const int result = exec();
        // The loop can also end without the window closing (a quit signal):
        // its task threads end here, before the objects they use go.
        delete MainWindow;
        return result;
    }
    ND_LOG(LogInfo, "mandatory update to %s", Version.Version.c_str());
    NdUpdateDlg dialog(nullptr, Version);
    dialog.DoModal();
    return 0;
}

void NdApp::InitNdDownloader()
{
    MainWindow = new NdDownloader(nullptr, StartRequest, Version);
    connect(MainWindow, &NdDownloader::sigSystemTray, this, &NdApp::slotSystemTray);
    // Owned by the application, so it goes with it instead of outliving the process's objects.
    OpenEventFilter = new NdOpenEventFilter(this);
    installEventFilter(OpenEventFilter);
    connect(OpenEventFilter, &NdOpenEventFilter::sigGetNewTask, MainWindow, &NdDownloader::onGetNewTask);

    MainWindow->setFixedSize(kMainWindowSize);
    const QPoint centre = ScreenUnderCursor()->geometry().center();
    MainWindow->move(centre.x() - kMainWindowSize.width() / 2, centre.y() - kMainWindowSize.height() / 2);
    MainWindow->show();
    PostPendingUrls();
}

void NdApp::OpenUrl(const QString& urlText)
{
    PendingUrls << urlText;
    if (OpenEventFilter)
        PostPendingUrls();
}

void NdApp::PostPendingUrls()
{
    for (const QString& url : qAsConst(PendingUrls))
        postEvent(this, new NdUrlOpenEvent(url));
    PendingUrls.clear();
}

void NdApp::slotSystemTray(bool hide)
{
    if (!MainWindow)
        return;
    if (hide) {
        MainWindow->hide();
        return;
    }
    MainWindow->show();
    MainWindow->showNormal();
    MainWindow->activateWindow();
    MainWindow->raise();
}
