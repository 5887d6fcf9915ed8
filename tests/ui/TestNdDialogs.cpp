#include "NdAboutDlg.h"
#include "NdButton.h"
#include "NdCloseDlg.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdQuestionBox.h"
#include "NdSetDownloadPathDlg.h"
#include "NdTitleBar.h"
#include "NdToastTip.h"
#include "NdUiTestKit.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString Str(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}

void StoreLastPath(const QString& path)
{
    NdCacheManager::GetInstance()->SetLastDownloadPath(path.toUtf8().toStdString());
}

QString StoredLastPath()
{
    std::string path;
    NdCacheManager::GetInstance()->GetLastDownloadPath(path);
    return QString::fromStdString(path);
}

QString DesktopVideoFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/')
        + Str("NdDownloader.NdVideo");
}

// The widgets of the download-path dialog that the tests read.
struct PathView
{
    explicit PathView(QWidget* dialog)
    {
        field = dialog->findChild<QLineEdit*>(QStringLiteral("NdCloseDlg_LineEdit"));
        ok = dialog->findChild<NdButton*>(QStringLiteral("NdCloseDlg_OkBtn"));
        warning = dialog->findChild<NdLabel*>(QStringLiteral("NdSetDownloadPathDlg_NoFreeDiskSizeLabel"));
        const QList<NdButton*> greyButtons = dialog->findChildren<NdButton*>(QStringLiteral("NdCloseDlg_CancleBtn"));
        browse = greyButtons.value(0);
        cancel = greyButtons.value(1);
        const QList<NdLabel*> notes = dialog->findChildren<NdLabel*>(QStringLiteral("NdCloseDlg_DownloadingLabel"));
        fileCount = notes.value(0);
        totalSize = notes.value(1);
        freeSpace = notes.value(2);
    }

    QLineEdit* field = nullptr;
    NdButton* ok = nullptr;
    NdButton* browse = nullptr;
    NdButton* cancel = nullptr;
    NdLabel* warning = nullptr;
    NdLabel* fileCount = nullptr;
    NdLabel* totalSize = nullptr;
    NdLabel* freeSpace = nullptr;
};

} // namespace

class TestNdDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // Download-path dialog
    void storageSizeTexts_data();
    void storageSizeTexts();
    void freeSpaceMustBeThreeTimesTheSize_data();
    void freeSpaceMustBeThreeTimesTheSize();
    void freeSpaceOfAFolderNotYetMade();
    void proposedFolder_data();
    void proposedFolder();
    void refusedFolders_data();
    void refusedFolders();
    void browseAsksFromLastFolderAndCancelKeepsFolder();
    void okStoresTheFolder();
    void filesInfo();

    // Close dialog
    void closeChoicesActAsRadioPair_data();
    void closeChoicesActAsRadioPair();
    void closeResults_data();
    void closeResults();
    void closeFileNameElision();

    // Small dialogs
    void questionBox();
    void toastChangesIconWhileShown();
    void aboutBox();

private:
    NdReportCatcher m_reports;
    QTemporaryDir m_dir;
    NdUrlRecorder m_urls;
    QStringList m_startDirs;
    QString m_chooserAnswer;
};

void TestNdDialogs::initTestCase()
{
    NdUiTestInit();
    QVERIFY(m_reports.Start());
    QVERIFY(m_dir.isValid());
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_urls, "open");
    NdSetDownloadPathDlg::SetDirectoryChooser([this](QWidget*, const QString& caption, const QString& startDir) {
        if (caption != Str("NdDownloader.ChooseSaveFilePath"))
            return QStringLiteral("/wrong-caption");
        m_startDirs << startDir;
        return m_chooserAnswer;
    });
}

void TestNdDialogs::init()
{
    StoreLastPath(QString());
    m_startDirs.clear();
    m_chooserAnswer.clear();
    NdSetDownloadPathDlg::SetFreeBytesQuery([](const QString&) { return qint64(50) * 1000 * 1000 * 1000; });
}

void TestNdDialogs::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    NdSetDownloadPathDlg::SetDirectoryChooser(nullptr);
    NdSetDownloadPathDlg::SetFreeBytesQuery(nullptr);
}

void TestNdDialogs::storageSizeTexts_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("bytes") << qint64(999) << "999.00B";
    QTest::newRow("kilobytes") << qint64(1000) << "1.00KB";
    QTest::newRow("megabytes") << qint64(1000000) << "1.00MB";
    QTest::newRow("below a gigabyte") << qint64(999990000) << "999.99MB";
    QTest::newRow("gigabytes") << qint64(1500000000) << "1.50GB";
    QTest::newRow("terabytes stay in gigabytes") << qint64(2000000000000) << "2000.00GB";
}

void TestNdDialogs::storageSizeTexts()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    NdSetDownloadPathDlg dialog;
    QCOMPARE(dialog.GetStorageSize(bytes), text);
}

void TestNdDialogs::freeSpaceMustBeThreeTimesTheSize_data()
{
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<float>("totalMegabytes");
    QTest::addColumn<bool>("enough");
    QTest::newRow("299 MB for 100 MB") << qint64(299000000) << 100.0f << false;
    QTest::newRow("300 MB for 100 MB") << qint64(300000000) << 100.0f << true;
    QTest::newRow("empty disk, nothing to load") << qint64(0) << 0.0f << true;
    QTest::newRow("unknown free space") << qint64(-1) << 100.0f << true;
}

void TestNdDialogs::freeSpaceMustBeThreeTimesTheSize()
{
    QFETCH(qint64, freeBytes);
    QFETCH(float, totalMegabytes);
    QFETCH(bool, enough);
    NdSetDownloadPathDlg::SetFreeBytesQuery([freeBytes](const QString&) { return freeBytes; });
    NdSetDownloadPathDlg dialog;
    PathView view(&dialog);
    dialog.SetDownloadFilesInfo(QStringLiteral("lesson"), 1, totalMegabytes, totalMegabytes);
    dialog.show();

    QCOMPARE(view.ok->isEnabled(), enough);
    QCOMPARE(view.warning->isVisible(), !enough);
    if (freeBytes >= 0)
        QCOMPARE(view.freeSpace->text(), Str("NdDownloader.Sheng").arg(dialog.GetStorageSize(freeBytes)));
    else
        QCOMPARE(view.freeSpace->text(), QString());
}

void TestNdDialogs::freeSpaceOfAFolderNotYetMade()
{
    // The disk itself, not the seam: the proposed folder does not exist yet,
    // so its nearest existing parent is measured.
    NdSetDownloadPathDlg::SetFreeBytesQuery(nullptr);
    NdSetDownloadPathDlg dialog;
    QVERIFY(!QDir(dialog.GetDir()).exists());
    const QStorageInfo disk(m_dir.path());
    QVERIFY(disk.isValid() && disk.bytesAvailable() > 0);
    dialog.SetDownloadFilesInfo(QStringLiteral("lesson"), 1, 1.0f, 1.0f);
    QVERIFY(PathView(&dialog).ok->isEnabled());
    QVERIFY(
        PathView(&dialog).freeSpace->text().startsWith(Str("NdDownloader.Sheng").section(QStringLiteral("%1"), 0, 0)));
    QVERIFY(PathView(&dialog).freeSpace->text().contains(QRegularExpression(QStringLiteral("\\d\\.\\d\\d[KMG]?B"))));
}

void TestNdDialogs::proposedFolder_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("proposed");
    const QString kept = m_dir.path() + QStringLiteral("/kept/deeper");
    QTest::newRow("first use") << QString() << DesktopVideoFolder();
    QTest::newRow("stored, created again") << kept << kept;
    QTest::newRow("stored, cannot be created") << QStringLiteral("/proc/nd-gone/videos") << DesktopVideoFolder();
    QTest::newRow("stored, not writable") << QStringLiteral("/proc/sys/kernel") << DesktopVideoFolder();
}

void TestNdDialogs::proposedFolder()
{
    QFETCH(QString, stored);
    QFETCH(QString, proposed);
    StoreLastPath(stored);
    NdSetDownloadPathDlg dialog;
    QCOMPARE(dialog.GetDir(), proposed);
    QCOMPARE(PathView(&dialog).field->toolTip(), proposed);
    if (!stored.isEmpty() && proposed == stored)
        QVERIFY(QDir(stored).exists());
}

void TestNdDialogs::refusedFolders_data()
{
    QTest::addColumn<QString>("folder");
    for (const char* folder : {"/", "/usr", "/bin", "/etc", "/proc", "/sys", "C:/Windows", "C:/"})
        QTest::newRow(folder) << QString::fromLatin1(folder);
    QTest::newRow("missing") << m_dir.path() + QStringLiteral("/not-there");
    // Not in the list, but nobody may create files there, not even the superuser.
    QTest::newRow("not writable") << QStringLiteral("/proc/sys/kernel");
}

void TestNdDialogs::refusedFolders()
{
    QFETCH(QString, folder);
    NdSetDownloadPathDlg dialog;
    PathView view(&dialog);
    dialog.show();
    const QString proposed = dialog.GetDir();

    m_chooserAnswer = folder;
    QTest::mouseClick(view.browse, Qt::LeftButton);
    QVERIFY(!view.ok->isEnabled());
    QCOMPARE(view.field->toolTip(), Str("NdDownloader.NoWrite"));
    QCOMPARE(view.field->text(), Str("NdDownloader.NoWrite"));
    QCOMPARE(dialog.GetDir(), proposed);

    // A usable folder clears the refusal.
    m_chooserAnswer = m_dir.path();
    QTest::mouseClick(view.browse, Qt::LeftButton);
    QVERIFY(view.ok->isEnabled());
    QCOMPARE(dialog.GetDir(), m_dir.path());
    QCOMPARE(view.field->toolTip(), m_dir.path());
}

void TestNdDialogs::browseAsksFromLastFolderAndCancelKeepsFolder()
{
    NdSetDownloadPathDlg first;
    first.show();
    QTest::mouseClick(PathView(&first).browse, Qt::LeftButton);
    QCOMPARE(m_startDirs, QStringList{QStringLiteral("./")});
    QCOMPARE(first.GetDir(), DesktopVideoFolder());

    StoreLastPath(m_dir.path());
    NdSetDownloadPathDlg second;
    second.show();
    QTest::mouseClick(PathView(&second).browse, Qt::LeftButton);
    QCOMPARE(m_startDirs.last(), m_dir.path());
    QCOMPARE(second.GetDir(), m_dir.path());
}

void TestNdDialogs::okStoresTheFolder()
{
    const QString chosen = m_dir.path() + QStringLiteral("/课程");
    QVERIFY(QDir().mkpath(chosen));
    NdSetDownloadPathDlg dialog;
    PathView view(&dialog);
    dialog.show();
    m_chooserAnswer = chosen;
    QTest::mouseClick(view.browse, Qt::LeftButton);
    QTest::mouseClick(view.ok, Qt::LeftButton);
    QCOMPARE(dialog.result(), 1);
    QCOMPARE(StoredLastPath(), chosen);

    NdSetDownloadPathDlg next;
    QCOMPARE(next.GetDir(), chosen);
    next.show();
    QTest::mouseClick(PathView(&next).cancel, Qt::LeftButton);
    QCOMPARE(next.result(), 0);
}

void TestNdDialogs::filesInfo()
{
    NdSetDownloadPathDlg dialog;
    PathView view(&dialog);
    dialog.SetDownloadFilesInfo(QStringLiteral("one"), 1, 512.0f, 512.0f);
    QCOMPARE(view.fileCount->text(), QString());
    QCOMPARE(view.totalSize->text(), QStringLiteral("512.00MB"));
    dialog.SetDownloadFilesInfo(QStringLiteral("two"), 2, 1536.0f, 512.0f);
    QCOMPARE(view.fileCount->text(), Str("NdDownloader.FileCount").arg(2));
    QCOMPARE(view.totalSize->text(), QStringLiteral("1.50GB"));
}

void TestNdDialogs::closeChoicesActAsRadioPair_data()
{
    QTest::addColumn<QString>("clicks"); // c: continue choice, q: quit choice
    QTest::addColumn<bool>("continueTicked");
    QTest::newRow("none") << "" << true;
    QTest::newRow("continue again") << "c" << true;
    QTest::newRow("quit") << "q" << false;
    QTest::newRow("quit twice") << "qq" << false;
    QTest::newRow("quit then continue") << "qc" << true;
    QTest::newRow("back and forth") << "qcqcq" << false;
}

void TestNdDialogs::closeChoicesActAsRadioPair()
{
    QFETCH(QString, clicks);
    QFETCH(bool, continueTicked);
    NdCloseDlg dialog(nullptr);
    dialog.resize(480, 280);
    dialog.show();
    const QList<QCheckBox*> choices = dialog.findChildren<QCheckBox*>(QStringLiteral("NdCloseDlg_CheckBox"));
    QCOMPARE(choices.size(), 2);
    for (const QChar click : clicks) {
        QTest::mouseClick(choices.at(click == QLatin1Char('c') ? 0 : 1), Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
        QVERIFY(choices.at(0)->isChecked() != choices.at(1)->isChecked());
    }
    QCOMPARE(choices.at(0)->isChecked(), continueTicked);
    QCOMPARE(choices.at(1)->isChecked(), !continueTicked);
}

void TestNdDialogs::closeResults_data()
{
    QTest::addColumn<QString>("clicks");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("result");
    QTest::newRow("keep downloading") << ""
                                      << "NdCloseDlg_OkBtn" << 2;
    QTest::newRow("stop and quit") << "q"
                                   << "NdCloseDlg_OkBtn" << 1;
    QTest::newRow("changed mind") << "qc"
                                  << "NdCloseDlg_OkBtn" << 2;
    QTest::newRow("cancel") << "q"
                            << "NdCloseDlg_CancleBtn" << 0;
    QTest::newRow("close button") << ""
                                  << "NdDownloaderPopDlg_CloseBtn" << 0;
}

void TestNdDialogs::closeResults()
{
    QFETCH(QString, clicks);
    QFETCH(QString, button);
    QFETCH(int, result);
    NdCloseDlg dialog(nullptr);
    dialog.resize(480, 280);
    const QList<QCheckBox*> choices = dialog.findChildren<QCheckBox*>(QStringLiteral("NdCloseDlg_CheckBox"));
    // Answered while the dialog runs modally, as the close flow runs it.
    QTimer::singleShot(0, &dialog, [&]() {
        for (const QChar click : clicks)
            QTest::mouseClick(
                choices.at(click == QLatin1Char('c') ? 0 : 1), Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
        QTest::mouseClick(dialog.findChild<NdButton*>(button), Qt::LeftButton);
    });
    QCOMPARE(dialog.DoModal(), result);
    if (button == QLatin1String("NdCloseDlg_OkBtn"))
        QTRY_VERIFY(m_reports.Count(QStringLiteral("btn_closedlg_confirm")) >= 1);
    if (button == QLatin1String("NdCloseDlg_CancleBtn"))
        QTRY_VERIFY(m_reports.Count(QStringLiteral("btn_closedlg_cancel")) >= 1);
    if (clicks.contains(QLatin1Char('q')))
        QTRY_VERIFY(m_reports.Count(QStringLiteral("btn_closedlg_stop")) >= 1);
}

void TestNdDialogs::closeFileNameElision()
{
    NdCloseDlg dialog(nullptr);
    NdLabel* name = dialog.findChild<NdLabel*>(QStringLiteral("NdCloseDlg_FileNameLabel"));
    QCOMPARE(name->width(), 236);
    QCOMPARE(name->text(), Str("NdDownloader.TestFileName"));

    dialog.SetDownloadFileName(QStringLiteral("短名"));
    QCOMPARE(name->text(), QStringLiteral("短名"));
    const QString longName = QString(40, QChar(0x8BFE));
    dialog.SetDownloadFileName(longName);
    QVERIFY(name->text().endsWith(QChar(0x2026)));
    QVERIFY(QFontMetrics(name->font()).horizontalAdvance(name->text()) <= 236);
    dialog.SetDownloadFileName(QString());
    QCOMPARE(name->text(), QString());
}

void TestNdDialogs::questionBox()
{
    NdQuestionBox box(nullptr, Str("NdDownloader.SureDeleteRecord"), 400, 200);
    QCOMPARE(box.size(), QSize(400, 200));
    QCOMPARE(box.findChild<NdLabel*>(QStringLiteral("NdQuestionBox_textLabel"))->text(),
        Str("NdDownloader.SureDeleteRecord"));
    QCheckBox* deleteFile = box.findChild<QCheckBox*>(QStringLiteral("NdQuestionBox_QCheckBox"));
    QVERIFY(!box.IsDeleteLocalFile());

    QTimer::singleShot(0, &box, [&]() {
        deleteFile->click();
        QTest::mouseClick(box.findChild<NdButton*>(QStringLiteral("NdQuestionBox_CancleBtn")), Qt::LeftButton);
    });
    QCOMPARE(box.DoModal(), 0);
    QVERIFY(box.IsDeleteLocalFile());

    QTimer::singleShot(0, &box,
        [&]() { QTest::mouseClick(box.findChild<NdButton*>(QStringLiteral("NdQuestionBox_OkBtn")), Qt::LeftButton); });
    QCOMPARE(box.DoModal(), 1);
    QTRY_COMPARE(m_reports.Count(QStringLiteral("btn_deletedlg_cancel")), 1);
    QTRY_COMPARE(m_reports.Count(QStringLiteral("btn_deletedlg_delete")), 1);

    NdQuestionBox fresh(nullptr, QStringLiteral("?"), 400, 200);
    QVERIFY(!fresh.IsDeleteLocalFile());
}

void TestNdDialogs::toastChangesIconWhileShown()
{
    NdToastTip toast;
    toast.SetInfo(QStringLiteral("success"), QStringLiteral("ok"));
    toast.show();
    NdLabel* icon = toast.findChild<NdLabel*>(QStringLiteral("NdToastTip_ImageLabel"));
    QCOMPARE(icon->property("state").toString(), QStringLiteral("success"));
    toast.SetInfo(QStringLiteral("error"), QStringLiteral("bad"));
    QVERIFY(toast.isVisible());
    QCOMPARE(icon->property("state").toString(), QStringLiteral("error"));
    QCOMPARE(toast.findChild<NdLabel*>(QStringLiteral("NdToastTip_TextLabel"))->text(), QStringLiteral("bad"));
}

void TestNdDialogs::aboutBox()
{
    NdDeploySettings settings = NdDeploySettings::Get();
    settings.WebsiteUrl = QStringLiteral("https://www.example.test/");
    settings.HelpCenterUrl = QStringLiteral("https://help.example.test/centre");
    NdDeploySettings::Set(settings);

    NdAboutDlg about;
    about.resize(420, 280);
    about.show();
    QCOMPARE(about.findChild<NdLabel*>(QStringLiteral("NdAboutDlg_VersionLabel"))->text(), QStringLiteral("V1.0.4"));
    const QList<NdButton*> links = about.findChildren<NdButton*>(QStringLiteral("NdAboutDlg_Btn"));
    QCOMPARE(links.size(), 2);
    m_urls.opened.clear();
    QTest::mouseClick(links.at(0), Qt::LeftButton);
    QTest::mouseClick(links.at(1), Qt::LeftButton);
    QCOMPARE(m_urls.opened, (QList<QUrl>{QUrl(settings.WebsiteUrl), QUrl(settings.HelpCenterUrl)}));
    QTRY_COMPARE(m_reports.Count(QStringLiteral("btn_aboutdlg_web")), 1);
    QTRY_COMPARE(m_reports.Count(QStringLiteral("btn_aboutdlg_help_center")), 1);
    // The close button stays reachable above the background.
    QVERIFY(about.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->isVisible());
    QCOMPARE(about.childAt(
                 about.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->geometry().center() + about.GetTitleBar()->pos()),
        about.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn));
}

QTEST_MAIN(TestNdDialogs)
#include "TestNdDialogs.moc"
