#pragma once

#include "NdDialog.h"

#include <functional>

class NdButton;
class NdLabel;
class QLineEdit;

// Asks for the folder that receives the new downloads, shows the free space of
// its disk and refuses folders that cannot take the files.
// DoModal(): 1 with a folder in GetDir(), 0 cancelled.
class NdSetDownloadPathDlg : public NdDialog
{
    Q_OBJECT
public:
    // Free bytes of the disk that holds a folder; negative when unknown.
    using FreeBytesQuery = std::function<qint64(const QString& folder)>;
    // The folder picker; returns an empty text when the user cancels.
    using DirectoryChooser = std::function<QString(QWidget* parent, const QString& caption, const QString& startDir)>;

    explicit NdSetDownloadPathDlg(QWidget* parent = nullptr);

    void SetDownloadFilesInfo(const QString& name, int count, float totalSize, float lastSize);
    QString GetDir() const;
    QString GetStorageSize(qint64 freeBytes);
    QString GetElidedText(const QFont& font, QString text, int width) const;
    void TranslateText() override;

    // Replace the disk query and the folder picker; an empty function restores
    // the system's own.
    static void SetFreeBytesQuery(FreeBytesQuery query);
    static void SetDirectoryChooser(DirectoryChooser chooser);
    // True for folders the program must not write into: system folders and
    // folders the user has no write permission for.
    static bool IsRefusedFolder(const QString& folder);

protected:
    void InitUi();
    void ConnectSignals();
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void onBrowseClicked();
    void ShowFolder(const QString& folder);
    void ShowRefusedFolder();
    void UpdateFreeSpace();
    void UpdateOkButton();
    QString ProposedFolder() const;

    NdLabel* TitleLabel = nullptr;
    NdLabel* SplitLineLabel = nullptr;
    NdLabel* FileImageLabel = nullptr;
    NdLabel* FileNameLabel = nullptr;
    NdLabel* FileCountLabel = nullptr;
    NdLabel* TotalSizeLabel = nullptr;
    NdLabel* DownloadToLabel = nullptr;
    QLineEdit* PathEdit = nullptr;
    NdButton* BrowseBtn = nullptr;
    NdLabel* FreeSpaceLabel = nullptr;
    NdLabel* NoFreeDiskSizeLabel = nullptr;
    int FileCount = 0;
    float TotalSize = 0.0f;
    NdButton* CancelBtn = nullptr;
    NdButton* OkBtn = nullptr;
    QString Dir;
    bool Refused = false;
    bool EnoughSpace = true;
};
