#include "NdTaskNotices.h"

#include "NdDesktopNotifier.h"
#include "NdLanguageHelper.h"

NdTaskNotices::NdTaskNotices(QObject* parent, std::function<bool()> away)
    : QObject(parent), m_pNotifier(new NdDesktopNotifier(this)), m_away(std::move(away))
{
    m_failureTimer.setSingleShot(true);
    m_failureTimer.setInterval(kFailureGatherMs);
    connect(&m_failureTimer, &QTimer::timeout, this, &NdTaskNotices::SendFailures);
}

QString NdTaskNotices::Lessons(int count, const QString& lesson)
{
    return count == 1 ? lesson : Str("NdDownloader.LessonCount").arg(count);
}

void NdTaskNotices::onRequestFinished(int count, const QString& lesson, const QString& folder)
{
    if (m_away())
        m_pNotifier->Notify(
            Str("NdDownloader.DoneTitle"), Str("NdDownloader.DoneText").arg(Lessons(count, lesson), folder), folder);
}

void NdTaskNotices::onTaskFailed(const QString& lesson, const QString& folder)
{
    if (!m_away())
        return;
    m_failedLessons << lesson;
    m_strFailedFolder = folder;
    if (!m_failureTimer.isActive())
        m_failureTimer.start();
}

void NdTaskNotices::SendFailures()
{
    const int count = m_failedLessons.size();
    if (count == 0)
        return;
    m_pNotifier->Notify(Str("NdDownloader.FailTitle"),
        Str("NdDownloader.FailText").arg(Lessons(count, m_failedLessons.first())), m_strFailedFolder);
    m_failedLessons.clear();
}
