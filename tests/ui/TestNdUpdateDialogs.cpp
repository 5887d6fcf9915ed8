#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdTitleBar.h"
#include "NdUiTestKit.h"
#include "NdUpdateDlg.h"
#include "NdUpdateProgressDlg.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

namespace {

QString Str(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}

const int kInstallerBytes = 400000;

QByteArray InstallerBody()
{
    QByteArray body(kInstallerBytes, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    return body;
}

NdTestResponse Installer()
{
    NdTestResponse response;
    response.body = InstallerBody();
    response.headers << qMakePair(QByteArray("Content-Type"), QByteArray("application/octet-stream"));
    // Slow enough for several progress reports: the network layer reports
    // progress at most every 150 ms.
    response.chunkSize = 20000;
    response.chunkDelayMs = 50;
    return response;
}

NdSoftVersion_t Version(const std::string& version, bool mustUpdate, const std::string& url = std::string())
{
    NdSoftVersion_t answer;
    answer.Version = version;
    answer.Msg = "修复了若干问题";
    answer.DownloadUrl = url;
    answer.MustUpdate = mustUpdate;
    return answer;
}

} // namespace

class TestNdUpdateDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void updateDialogLayout_data();
    void updateDialogLayout();
    void laterEndsTheDialog();
    void updateRunsTheProgressDialog();
    void downloadReachesHundredAndHandsOver();
    void failedDownloadRemovesPartialFile_data();
    void failedDownloadRemovesPartialFile();
    void closingDuringDownloadAborts();
    void installerThatCannotBeWrittenLetsTheUserLeave();

private:
    QString Url(const char* path) const { return m_server.BaseUrl() + QLatin1String(path); }

    NdReportCatcher m_reports;
    NdTestHttpServer m_server{NdTestHttpServer::Tls};
    QStringList m_handedOver;
};

void TestNdUpdateDialogs::initTestCase()
{
    NdUiTestInit();
    QVERIFY(m_reports.Start());
    m_server.Route("/dl/NadioLoader.dmg", [](const NdTestRequest&) { return Installer(); });
    m_server.Route("/dl/dropped.dmg", [](const NdTestRequest&) {
        NdTestResponse response = Installer();
        response.dropAfterBytes = kInstallerBytes / 2;
        return response;
    });
    m_server.Route("/dl/stalled.dmg", [](const NdTestRequest&) {
        NdTestResponse response = Installer();
        response.stallAfterBytes = kInstallerBytes / 2;
        return response;
    });
    QVERIFY(m_server.Start());
    NdUpdateProgressDlg::SetInstallerHandOff([this](const QString& file) { m_handedOver << file; });
}

void TestNdUpdateDialogs::init()
{
    m_handedOver.clear();
}

void TestNdUpdateDialogs::cleanupTestCase()
{
    NdUpdateProgressDlg::SetInstallerHandOff(nullptr);
}

void TestNdUpdateDialogs::updateDialogLayout_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("mustUpdate");
    QTest::addColumn<bool>("newVersion");
    QTest::addColumn<QSize>("size");

    QTest::newRow("new version") << "1.0.5" << false << true << QSize(480, 318);
    QTest::newRow("new version, mandatory") << "2.0.0" << true << true << QSize(480, 318);
    QTest::newRow("same version") << "1.0.4" << false << false << QSize(480, 274);
    QTest::newRow("no version in the answer") << "" << false << false << QSize(480, 274);
}

void TestNdUpdateDialogs::updateDialogLayout()
{
    QFETCH(QString, version);
    QFETCH(bool, mustUpdate);
    QFETCH(bool, newVersion);
    QFETCH(QSize, size);

    NdUpdateDlg dialog(nullptr, Version(version.toStdString(), mustUpdate));
    dialog.show();
    QCOMPARE(dialog.size(), size);

    NdLabel* newVersionLine = dialog.findChild<NdLabel*>(QStringLiteral("NdUpdateDlg_NewVersionLabel"));
    NdLabel* ownVersionLine = dialog.findChild<NdLabel*>(QStringLiteral("NdUpdateDlg_VersionLabel"));
    NdLabel* description = dialog.findChild<NdLabel*>(QStringLiteral("NdUpdateDlg_UpdateTextLabel"));
    NdButton* later = dialog.findChild<NdButton*>(QStringLiteral("NdUpdateDlg_NextTimeBtn"));
    // Update, mandatory update and OK, in the order they are made.
    const QList<NdButton*> blue = dialog.findChildren<NdButton*>(QStringLiteral("NdUpdateDlg_UpdateBtn"));
    QCOMPARE(blue.size(), 3);

    QCOMPARE(newVersionLine->isVisible(), newVersion);
    QCOMPARE(ownVersionLine->isVisible(), !newVersion);
    QCOMPARE(later->isVisible(), newVersion && !mustUpdate);
    QCOMPARE(blue.at(0)->isVisible(), newVersion && !mustUpdate);
    QCOMPARE(blue.at(1)->isVisible(), newVersion && mustUpdate);
    QCOMPARE(blue.at(2)->isVisible(), !newVersion);
    QCOMPARE(dialog.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->isVisible(), !mustUpdate);

    QCOMPARE(ownVersionLine->text(), QStringLiteral("V1.0.4"));
    if (newVersion) {
        QCOMPARE(newVersionLine->text(), Str("NdDownloader.FindNewVersion").arg(version));
        QCOMPARE(description->text(), QStringLiteral("修复了若干问题"));
    } else {
        QCOMPARE(description->text(), Str("NdDownloader.LastVersion"));
    }
}

void TestNdUpdateDialogs::laterEndsTheDialog()
{
    NdUpdateDlg dialog(nullptr, Version("1.0.5", false));
    QTimer::singleShot(0, &dialog, [&dialog]() {
        QTest::mouseClick(dialog.findChild<NdButton*>(QStringLiteral("NdUpdateDlg_NextTimeBtn")), Qt::LeftButton);
    });
    QCOMPARE(dialog.DoModal(), 0);
    QTRY_COMPARE(m_reports.Count(QStringLiteral("btn_updatedlg_next_time")), 1);
}

void TestNdUpdateDialogs::updateRunsTheProgressDialog()
{
    NdUpdateDlg dialog(nullptr, Version("1.0.5", false, Url("/dl/stalled.dmg").toStdString()));
    QSize progressSize;
    bool wasModal = false;
    // Looks at the progress dialog while it runs, then closes it.
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&]() {
        NdUpdateProgressDlg* progress = qobject_cast<NdUpdateProgressDlg*>(QApplication::activeModalWidget());
        if (!progress)
            return;
        poll.stop();
        progressSize = progress->size();
        wasModal = progress->isModal();
        progress->reject();
    });
    poll.start(10);
    QTimer::singleShot(0, &dialog, [&dialog]() {
        QTest::mouseClick(
            dialog.findChildren<NdButton*>(QStringLiteral("NdUpdateDlg_UpdateBtn")).at(0), Qt::LeftButton);
    });
    QCOMPARE(dialog.DoModal(), 0);
    QCOMPARE(progressSize, QSize(480, 206));
    QVERIFY(wasModal);
    QTRY_COMPARE(m_reports.Count(QStringLiteral("btn_updatedlg_update")), 1);
    QVERIFY(m_handedOver.isEmpty());
}

void TestNdUpdateDialogs::downloadReachesHundredAndHandsOver()
{
    NdUpdateProgressDlg dialog(nullptr, Version("1.0.5", true, Url("/dl/NadioLoader.dmg").toStdString()));
    QProgressBar* bar = dialog.findChild<QProgressBar*>(QStringLiteral("NdUpdateProgressDlg_ProgressBar"));
    NdLabel* status = dialog.findChild<NdLabel*>(QStringLiteral("NdUpdateProgressDlg_ProgressLabel"));
    QCOMPARE(status->text(), Str("NdDownloader.Updating").arg(0));
    QVERIFY(!dialog.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->isVisible());
    QSignalSpy progress(bar, &QProgressBar::valueChanged);

    dialog.show();
    QTRY_COMPARE_WITH_TIMEOUT(m_handedOver.size(), 1, 15000);
    const QString expected
        = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + QStringLiteral("/NadioLoader.dmg");
    QCOMPARE(m_handedOver.at(0), expected);
    QCOMPARE(dialog.InstallerFilePath(), expected);
    QFile installer(expected);
    QVERIFY(installer.open(QIODevice::ReadOnly));
    QCOMPARE(installer.readAll(), InstallerBody());
    QCOMPARE(bar->value(), 100);
    QCOMPARE(status->text(), Str("NdDownloader.Updating").arg(100));
    // The bar moved through intermediate values on its way.
    bool intermediate = false;
    for (const QList<QVariant>& change : progress)
        intermediate = intermediate || (change.at(0).toInt() > 0 && change.at(0).toInt() < 100);
    QVERIFY(intermediate);
    installer.remove();
}

void TestNdUpdateDialogs::failedDownloadRemovesPartialFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("someProgress");
    QTest::newRow("connection dropped halfway") << "/dl/dropped.dmg" << true;
    QTest::newRow("not found") << "/dl/missing.dmg" << false;
}

void TestNdUpdateDialogs::failedDownloadRemovesPartialFile()
{
    QFETCH(QString, path);
    QFETCH(bool, someProgress);
    const int requestsBefore = m_server.CountRequests(path.toLatin1());
    NdUpdateProgressDlg dialog(nullptr, Version("1.0.5", true, Url(path.toLatin1().constData()).toStdString()));
    QProgressBar* bar = dialog.findChild<QProgressBar*>(QStringLiteral("NdUpdateProgressDlg_ProgressBar"));
    dialog.show();
    QVERIFY(!dialog.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->isVisible());
    const QString file = dialog.InstallerFilePath();
    QVERIFY(file.endsWith(path.mid(path.lastIndexOf(QLatin1Char('/')))));

    QTRY_COMPARE_WITH_TIMEOUT(m_server.CountRequests(path.toLatin1()), requestsBefore + 1, 10000);
    if (someProgress)
        QTRY_VERIFY_WITH_TIMEOUT(bar->value() > 0, 10000);
    // A mandatory update offers no way out while it downloads, but does once
    // the failure has been dealt with, the partial file gone.
    QTRY_VERIFY_WITH_TIMEOUT(dialog.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->isVisible(), 10000);
    QVERIFY(!QFile::exists(file));
    QVERIFY(m_handedOver.isEmpty());
    QVERIFY(dialog.isVisible());
}

void TestNdUpdateDialogs::closingDuringDownloadAborts()
{
    QPointer<NdUpdateProgressDlg> dialog
        = new NdUpdateProgressDlg(nullptr, Version("1.0.5", false, Url("/dl/stalled.dmg").toStdString()));
    QProgressBar* bar = dialog->findChild<QProgressBar*>(QStringLiteral("NdUpdateProgressDlg_ProgressBar"));
    dialog->show();
    const QString file = dialog->InstallerFilePath();
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() > 0, 10000);
    QVERIFY(QFile::exists(file));

    delete dialog;
    QVERIFY(!QFile::exists(file));
    // Whatever the aborted request left queued runs without the dialog.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QVERIFY(!QFile::exists(file));
    QVERIFY(m_handedOver.isEmpty());
}

void TestNdUpdateDialogs::installerThatCannotBeWrittenLetsTheUserLeave()
{
    // A folder in the installer's place: the file cannot be opened, so the
    // download fails before it starts and never completes.
    const QString blocked
        = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + QStringLiteral("/blocked.dmg");
    QVERIFY(QDir().mkpath(blocked + QStringLiteral("/kept")));
    NdUpdateProgressDlg dialog(nullptr, Version("1.0.5", true, Url("/dl/blocked.dmg").toStdString()));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QVERIFY(dialog.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->isVisible());
    QVERIFY(QFileInfo::exists(blocked + QStringLiteral("/kept")));
    QVERIFY(m_handedOver.isEmpty());
    QVERIFY(QDir(blocked).removeRecursively());
}

QTEST_MAIN(TestNdUpdateDialogs)
#include "TestNdUpdateDialogs.moc"
