#pragma once

#include "NdDialog.h"

#include "INdDownloaderBackEnd.h"

#include <functional>

class NdHttpManager;
class NdLabel;
class QProgressBar;

// Downloads the installer with a progress bar and hands it to the system.
class NdUpdateProgressDlg : public NdDialog
{
    Q_OBJECT
public:
    // Receives the downloaded installer; the system's own hand-off opens it and
    // quits the program.
    using InstallerHandOff = std::function<void(const QString& installerFile)>;

    NdUpdateProgressDlg(QWidget* parent, const NdSoftVersion_t& version);
    ~NdUpdateProgressDlg() override;

    void TranslateText() override;
    // The new file the installer goes to: named after the address, numbered when that name is taken.
    QString InstallerFilePath() const { return InstallerFile; }

    // An empty function restores the system's own hand-off.
    static void SetInstallerHandOff(InstallerHandOff handOff);

protected:
    void InitUi();
    void showEvent(QShowEvent* event) override;

private:
    void StartDownload();
    void onDownloadProgress(long long received, long long total);
    void onDownloadComplete();
    void onDownloadFailed();

    NdHttpManager* Request = nullptr;
    NdSoftVersion_t Version;
    bool Success = false;
    bool DownloadDone = false;
    bool Closing = false;
    QString InstallerFile;
    NdLabel* LogoLabel = nullptr;
    QProgressBar* ProgressBar = nullptr;
    NdLabel* ProgressLabel = nullptr;
};
