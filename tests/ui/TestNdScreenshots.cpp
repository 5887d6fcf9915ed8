#include "NdAboutDlg.h"
#include "NdCloseDlg.h"
#include "NdLanguageHelper.h"
#include "NdQuestionBox.h"
#include "NdRadiusTip.h"
#include "NdRadiusTipLabel.h"
#include "NdSetDownloadPathDlg.h"
#include "NdTaskItem.h"
#include "NdToastTip.h"
#include "NdUiTestKit.h"
#include "NdUpdateDlg.h"
#include "NdUpdateProgressDlg.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QString Str(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}

QString ReadResource(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool IsOneColour(const QImage& image)
{
    const QImage pixels = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb first = pixels.pixel(0, 0);
    for (int y = 0; y < pixels.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
        for (int x = 0; x < pixels.width(); ++x) {
            if (line[x] != first)
                return false;
        }
    }
    return true;
}

NdSoftVersion_t Version(const char* version, bool mustUpdate)
{
    NdSoftVersion_t answer;
    answer.Version = version;
    answer.Msg = "新增批量下载，修复了若干问题";
    // Nothing listens there: the progress dialog's download fails at once.
    answer.DownloadUrl = "https://127.0.0.1:1/NadioLoader.dmg";
    answer.MustUpdate = mustUpdate;
    return answer;
}

} // namespace

class TestNdScreenshots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void taskRows_data();
    void taskRows();
    void dialogs_data();
    void dialogs();
    void toasts_data();
    void toasts();
    void tip();

private:
    void Shoot(QWidget* widget, const QString& name);

    QString m_outputDir;
    QTemporaryDir m_dir;
};

void TestNdScreenshots::initTestCase()
{
    NdUiTestInit();
    QVERIFY(m_dir.isValid());
    const QString styleSheet = ReadResource(QStringLiteral(":/res/qss/nddownload_2x.qss"));
    QVERIFY2(!styleSheet.isEmpty(), "the program's style sheet is not in the resources");
    qApp->setStyleSheet(styleSheet);
    m_outputDir = QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots"));
    QVERIFY(QDir().mkpath(m_outputDir));
    NdSetDownloadPathDlg::SetFreeBytesQuery([](const QString&) { return qint64(120) * 1000 * 1000 * 1000; });
    NdUpdateProgressDlg::SetInstallerHandOff([](const QString&) {});
}

void TestNdScreenshots::cleanupTestCase()
{
    NdSetDownloadPathDlg::SetFreeBytesQuery(nullptr);
    NdUpdateProgressDlg::SetInstallerHandOff(nullptr);
}

void TestNdScreenshots::Shoot(QWidget* widget, const QString& name)
{
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget));
    QCoreApplication::processEvents();
    const QImage image = widget->grab().toImage();
    QVERIFY(!image.isNull());
    QVERIFY2(!IsOneColour(image), qPrintable(name + QStringLiteral(" is blank")));
    QVERIFY(image.save(m_outputDir + QLatin1Char('/') + name + QStringLiteral(".png")));
}

void TestNdScreenshots::taskRows_data()
{
    QTest::addColumn<int>("state");
    for (int state = 0; state <= 9; ++state)
        QTest::addRow("state %d", state) << state;
}

void TestNdScreenshots::taskRows()
{
    QFETCH(int, state);
    DownloadTaskParam_t record;
    record.VideoName = "第三单元 函数与图像（上）";
    record.VideoFileSize = 1536.0f;
    record.VideoDownloadFileSize = 640.0f;
    record.VideoTranscodeFileSize = 1602.3f;
    record.VideoDownloadPath = m_dir.path().toStdString();
    record.VideoState = state;
    QFile output(m_dir.path() + QStringLiteral("/第三单元 函数与图像（上）.mp4"));
    QVERIFY(output.open(QIODevice::WriteOnly));
    output.close();

    NdTaskItem row(nullptr, record);
    row.setFixedSize(1032, 48);
    if (state == Downloading)
        row.onRefreshDownloadResult(640.0f, 41, Downloading, QStringLiteral("2MB/S"));
    Shoot(&row, QStringLiteral("row_state_%1").arg(state));
}

void TestNdScreenshots::dialogs_data()
{
    QTest::addColumn<QString>("name");
    for (const char* name : {"about", "question", "close", "download_path", "download_path_no_space", "update_new",
             "update_mandatory", "update_latest", "update_progress"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestNdScreenshots::dialogs()
{
    QFETCH(QString, name);
    std::unique_ptr<QDialog> dialog;
    if (name == QLatin1String("about")) {
        dialog = std::make_unique<NdAboutDlg>(nullptr);
        dialog->resize(420, 280);
    } else if (name == QLatin1String("question")) {
        dialog = std::make_unique<NdQuestionBox>(nullptr, Str("NdDownloader.SureDeleteRecord"), 420, 190);
    } else if (name == QLatin1String("close")) {
        auto close = std::make_unique<NdCloseDlg>(nullptr);
        close->resize(480, 280);
        close->SetDownloadFileName(QStringLiteral("第三单元 函数与图像（上）课堂实录与习题讲解完整版"));
        dialog = std::move(close);
    } else if (name.startsWith(QLatin1String("download_path"))) {
        auto path = std::make_unique<NdSetDownloadPathDlg>(nullptr);
        path->resize(480, 280);
        const float total = name.endsWith(QLatin1String("no_space")) ? 50000.0f : 1536.0f;
        path->SetDownloadFilesInfo(QStringLiteral("第三单元 函数与图像（上）"), 3, total, 512.0f);
        dialog = std::move(path);
    } else if (name == QLatin1String("update_new")) {
        dialog = std::make_unique<NdUpdateDlg>(nullptr, Version("1.1.0", false));
    } else if (name == QLatin1String("update_mandatory")) {
        dialog = std::make_unique<NdUpdateDlg>(nullptr, Version("2.0.0", true));
    } else if (name == QLatin1String("update_latest")) {
        dialog = std::make_unique<NdUpdateDlg>(nullptr, Version("1.0.4", false));
    } else {
        dialog = std::make_unique<NdUpdateProgressDlg>(nullptr, Version("1.1.0", false));
        dialog->resize(480, 206);
    }
    Shoot(dialog.get(), QStringLiteral("dialog_") + name);
}

void TestNdScreenshots::toasts_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("text");
    QTest::newRow("tip") << "tip" << Str("NdDownloader.MaxFileCount");
    QTest::newRow("success") << "success" << Str("NdDownloader.DeletedTask");
    QTest::newRow("error") << "error" << Str("NdDownloader.Offline");
}

void TestNdScreenshots::toasts()
{
    QFETCH(QString, type);
    QFETCH(QString, text);
    // Inside a window, as the main window shows it, at the size a row asks
    // for: the text must still be whole.
    QWidget window;
    window.resize(600, 120);
    NdToastTip toast(&window);
    toast.SetInfo(type, text);
    toast.resize(200, 38);
    window.show();
    NdLabel* label = toast.findChild<NdLabel*>(QStringLiteral("NdToastTip_TextLabel"));
    QVERIFY(label->width() >= QFontMetrics(label->font()).horizontalAdvance(text));
    Shoot(&toast, QStringLiteral("toast_") + type);
}

void TestNdScreenshots::tip()
{
    DownloadTaskParam_t record;
    record.VideoName = "第三单元 函数与图像（上）课堂实录与习题讲解完整版";
    record.VideoState = Paused;
    NdTaskItem row(nullptr, record);
    row.setFixedSize(1032, 48);
    row.show();
    NdRadiusTipLabel* name = row.findChild<NdRadiusTipLabel*>(QStringLiteral("NdTaskItem_FileNameLabel"));
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(name, &enter);
    NdRadiusTip* tip = name->GetTip();
    QVERIFY(tip->isVisible());
    // Fits the whole name, nothing near a default window size.
    QVERIFY(tip->width() > QFontMetrics(tip->font()).horizontalAdvance(QString::fromStdString(record.VideoName)));
    QVERIFY(tip->height() < 100);
    Shoot(tip, QStringLiteral("row_name_tip"));
}

QTEST_MAIN(TestNdScreenshots)
#include "TestNdScreenshots.moc"
