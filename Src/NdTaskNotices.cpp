#include "NdTaskNotices.h"

#include "NdDesktopNotifier.h"
#include "NdLanguageHelper.h"

NdTaskNotices::NdTaskNotices(QObject* parent, std::function<bool()> away)
    : QObject(parent), Notifier(new NdDesktopNotifier(this)), Away(std::move(away))
{
    FailureTimer.setSingleShot(true);
    FailureTimer.setInterval(kFailureGatherMs);
    connect(&FailureTimer, &QTimer::timeout, this, &NdTaskNotices::SendFailures);
}

QString NdTaskNotices::Lessons(int count, const QString& lesson)
{
    return count == 1 ? lesson : Str("NdDownloader.LessonCount").arg(count);
}

void NdTaskNotices::onRequestFinished(int count, const QString& lesson, const QString& folder)
{
    if (Away())
        Notifier->Notify(
            Str("NdDownloader.DoneTitle"), Str("NdDownloader.DoneText").arg(Lessons(count, lesson), folder), folder);
}

void NdTaskNotices::onTaskFailed(const QString& lesson, const QString& folder)
{
    if (!Away())
        return;
    FailedLessons << lesson;
    FailedFolder = folder;
    if (!FailureTimer.isActive())
        FailureTimer.start();
}

void NdTaskNotices::SendFailures()
{
    const int count = FailedLessons.size();
    if (count == 0)
        return;
    Notifier->Notify(Str("NdDownloader.FailTitle"),
        Str("NdDownloader.FailText").arg(Lessons(count, FailedLessons.first())), FailedFolder);
    FailedLessons.clear();
}
