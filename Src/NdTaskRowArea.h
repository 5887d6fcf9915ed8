#pragma once

#include <QAbstractScrollArea>

class NdWidget;

// The scrolling part of the task list. However many tasks it lists, it holds
// only the rows in view: its scroll bar spans all of them, and the list binds
// its few rows to the tasks in view whenever the view changes.
class NdTaskRowArea : public QAbstractScrollArea
{
    Q_OBJECT
public:
    NdTaskRowArea(QWidget* parent, int rowHeight);

    void SetRowCount(int count);
    // The widget in the viewport that the rows are children of.
    NdWidget* Content() const { return ContentWidget; }
    // The first row at least partly in view, and how many there are from it.
    int FirstRowInView() const;
    int RowsInView() const;
    // Where a row goes in the content widget.
    int RowTop(int row) const;

signals:
    // Scrolled, resized or another count: the list binds its rows anew.
    void sigViewChanged();

protected:
    void scrollContentsBy(int dx, int dy) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void UpdateRange();

    const int RowHeight;
    int RowCount = 0;
    NdWidget* ContentWidget = nullptr;
};
