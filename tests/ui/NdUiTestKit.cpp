#include "NdUiTestKit.h"

#include "NdLanguageHelper.h"
#include "NdTaskItem.h"
#include "NdTaskListView.h"
#include "NdTestEnv.h"
#include "NdWidget.h"

#include "NdCore/NdDeploySettings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLayout>
#include <QMutex>
#include <QPainter>
#include <QSslCertificate>
#include <QTimer>
#include <QtTest>

bool NdUiTestInit()
{
    NdTestInitEnvironment();
    NdApplyApplicationFont();
    QFile sheet(QStringLiteral(":/res/qss/nddownload_2x.qss"));
    if (!sheet.open(QIODevice::ReadOnly))
        return false;
    qApp->setStyleSheet(QString::fromUtf8(sheet.readAll()));
    return NdLanguageHelper::GetInstance()->Init("zh-CN");
}

QString NdUiStr(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}

bool NdUiShoot(QWidget* widget, const QString& name, QWidget* over)
{
    widget->show();
    QCoreApplication::processEvents();
    QImage picture = widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    if (over) {
        QPainter painter(&picture);
        painter.drawPixmap(over->mapToGlobal(QPoint(0, 0)) - widget->mapToGlobal(QPoint(0, 0)), over->grab());
    }
    QImage blank(picture.size(), picture.format());
    blank.fill(picture.pixel(0, 0));
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    return picture != blank && QDir().mkpath(folder)
        && picture.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

bool NdReportCatcher::Start()
{
    if (!NdTestCa::Instance().Ok)
        return false;
    Server.Route("/error_report", [](const NdTestRequest&) { return NdTestResponse::Text("{}"); });
    if (!Server.Start())
        return false;
    NdDeploySettings settings = NdDeploySettings::Get();
    settings.ReportBaseUrl = Server.BaseUrl() + QLatin1Char('/');
    settings.FallbackReportBaseUrl = settings.ReportBaseUrl;
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    NdDeploySettings::Set(settings);
    return true;
}

void NdUiTestCase::initTestCase()
{
    QVERIFY(NdUiTestInit());
    QVERIFY(Reports.Start());
    QVERIFY(Dir.isValid());
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &Urls, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &Urls, "open");
}

NdModalAnswerer::NdModalAnswerer(const char* className, std::function<void(QDialog*)> answer)
    : ClassName(className), Answer(std::move(answer))
{
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &NdModalAnswerer::Poll);
    poll->start(20);
}

void NdModalAnswerer::Poll()
{
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog == LastAnswered || !dialog->inherits(ClassName.constData()))
        return;
    LastAnswered = dialog;
    ++Answered;
    Answer(dialog);
}

QStringList NdRowNames(QWidget* window)
{
    QStringList names;
    for (const DownloadTaskParam_t& task : window->findChild<NdTaskListView*>()->GetTasks())
        names << QString::fromStdString(task.VideoName);
    return names;
}

namespace {

// Task threads log too: the list is shared between threads.
QMutex g_warningsLock;
QStringList g_warnings;

void CatchWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg || message.startsWith(QLatin1String("This plugin does not support")))
        return;
    QMutexLocker lock(&g_warningsLock);
    g_warnings << message;
}

} // namespace

NdWarningCatcher::NdWarningCatcher()
{
    {
        QMutexLocker lock(&g_warningsLock);
        g_warnings.clear();
    }
    Previous = qInstallMessageHandler(CatchWarnings);
}

NdWarningCatcher::~NdWarningCatcher()
{
    qInstallMessageHandler(Previous);
}

QString NdWarningCatcher::Warnings() const
{
    QMutexLocker lock(&g_warningsLock);
    return g_warnings.join(QLatin1Char('\n'));
}

void NdClickChild(QWidget* parent, const char* objectName, const QString& text)
{
    for (QAbstractButton* button : parent->findChildren<QAbstractButton*>(QLatin1String(objectName))) {
        if (text.isEmpty() || button->text() == text) {
            button->click();
            return;
        }
    }
}
