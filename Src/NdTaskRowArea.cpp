#include "NdTaskRowArea.h"

#include "NdWidget.h"

#include <QScrollBar>

NdTaskRowArea::NdTaskRowArea(QWidget* parent, int rowHeight) : QAbstractScrollArea(parent), m_nRowHeight(rowHeight)
{
    m_pContent = new NdWidget(viewport());
    m_pContent->setObjectName(QStringLiteral("NdTaskListView_Widget"));
    verticalScrollBar()->setSingleStep(m_nRowHeight);
}

void NdTaskRowArea::SetRowCount(int count)
{
    m_nRowCount = count;
    UpdateRange();
    emit sigViewChanged();
}

int NdTaskRowArea::FirstRowInView() const
{
    return verticalScrollBar()->value() / m_nRowHeight;
}

int NdTaskRowArea::RowsInView() const
{
    const int fit = viewport()->height() / m_nRowHeight + 2;
    return qBound(0, m_nRowCount - FirstRowInView(), fit);
}

int NdTaskRowArea::RowTop(int row) const
{
    return row * m_nRowHeight - verticalScrollBar()->value();
}

void NdTaskRowArea::scrollContentsBy(int, int)
{
    emit sigViewChanged();
}

void NdTaskRowArea::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    m_pContent->setGeometry(viewport()->rect());
    UpdateRange();
    emit sigViewChanged();
}

// In pixels, so that the bar moves as a list of that many rows would.
void NdTaskRowArea::UpdateRange()
{
    const qint64 total = qint64(m_nRowCount) * m_nRowHeight;
    const int page = viewport()->height();
    verticalScrollBar()->setPageStep(page);
    verticalScrollBar()->setRange(0, static_cast<int>(qBound<qint64>(0, total - page, INT_MAX)));
}
