#include "NdTaskRowArea.h"

#include "NdWidget.h"

#include <QScrollBar>

NdTaskRowArea::NdTaskRowArea(QWidget* parent, int rowHeight) : QAbstractScrollArea(parent), RowHeight(rowHeight)
{
    ContentWidget = new NdWidget(viewport());
    ContentWidget->setObjectName(QStringLiteral("NdTaskListView_Widget"));
    verticalScrollBar()->setSingleStep(RowHeight);
}

void NdTaskRowArea::SetRowCount(int count)
{
    RowCount = count;
    UpdateRange();
    emit sigViewChanged();
}

int NdTaskRowArea::FirstRowInView() const
{
    return verticalScrollBar()->value() / RowHeight;
}

int NdTaskRowArea::RowsInView() const
{
    const int fit = viewport()->height() / RowHeight + 2;
    return qBound(0, RowCount - FirstRowInView(), fit);
}

int NdTaskRowArea::RowTop(int row) const
{
    return row * RowHeight - verticalScrollBar()->value();
}

void NdTaskRowArea::scrollContentsBy(int, int)
{
    emit sigViewChanged();
}

void NdTaskRowArea::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    ContentWidget->setGeometry(viewport()->rect());
    UpdateRange();
    emit sigViewChanged();
}

// In pixels, so that the bar moves as a list of that many rows would.
void NdTaskRowArea::UpdateRange()
{
    const qint64 total = qint64(RowCount) * RowHeight;
    const int page = viewport()->height();
    verticalScrollBar()->setPageStep(page);
    verticalScrollBar()->setRange(0, static_cast<int>(qBound<qint64>(0, total - page, INT_MAX)));
}
