#pragma once

#include "INdDownloaderBackEnd.h"

#include <QApplication>
#include <QPointer>
#include <QStringList>

#include <string>

class NdDownloader;
class NdOpenEventFilter;

// The application object: reports the start, prepares the settings, loads the
// style and the language, asks for the version situation and then shows either
// the main window or, for a mandatory update, the update dialog alone.
class NdApp : public QApplication
{
    Q_OBJECT
public:
    NdApp(int& argc, char** argv);
    ~NdApp() override;

    // Logging, style sheet and language; false when start-up cannot go on.
    bool InitBasicSettings();
    bool InitQss();
    int Start();
    void InitNdDownloader();

    // Hands an open-URL request, as the desktop wrote it, to the main window:
    // posted as an open event once the event filter is installed, kept until then.
    void OpenUrl(const QString& urlText);

    NdDownloader* GetMainWindow() const;

    // The one text the user sees when start-up fails.
    static QString BasicSettingsError();

public slots:
    void slotSystemTray(bool hide);

private:
    void PostPendingUrls();

    // The window deletes itself when it closes.
    QPointer<NdDownloader> MainWindow;
    NdOpenEventFilter* OpenEventFilter = nullptr;
    std::string StartRequest;
    NdSoftVersion_t Version;
    QStringList PendingUrls;
};
