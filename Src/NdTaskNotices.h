#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class NdDesktopNotifier;

// What the user hears of the tasks while the window is out of sight: a
// request whose lessons have all finished, and the tasks that failed. The
// failures of a few seconds go out as one notice, so that a network cut does
// not bury the desktop under one notice a lesson. Nothing is sent while the
// user looks at the window.
class NdTaskNotices : public QObject
{
    Q_OBJECT
public:
    // away: whether the window is out of the user's sight now.
    NdTaskNotices(QObject* parent, std::function<bool()> away);

    // count: the request's lessons; lesson: the name of one of them.
    void onRequestFinished(int count, const QString& lesson, const QString& folder);
    void onTaskFailed(const QString& lesson, const QString& folder);

    static constexpr int kFailureGatherMs = 2000;

private:
    void SendFailures();
    static QString Lessons(int count, const QString& lesson);

    NdDesktopNotifier* Notifier = nullptr;
    std::function<bool()> Away;
    QStringList FailedLessons;
    QString FailedFolder; // the folder of the latest failure
    QTimer FailureTimer;
};
