#pragma once

#include <QWidget>

// Base of every window of the program: styled background and the three-step
// set-up (InitUi, ConnectSignals, TranslateText) called by each subclass.
class NdWidget : public QWidget
{
    Q_OBJECT
public:
    explicit NdWidget(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());

    virtual void TranslateText() { }

signals:
    void sigAboutToClose();

protected:
    void changeEvent(QEvent* event) override;
};

// Sets the application font. The design font is not present on every system,
// so it is mapped to installed fonts that carry the Chinese glyphs.
void NdApplyApplicationFont();

// The kit's own buttons (a title bar's minimise and close) pass their clicks,
// by event name, to the handler that the program installs: the kit itself
// reports nothing. Without a handler the clicks go no further.
using NdClickHandler = void (*)(const char* event);
void NdSetClickHandler(NdClickHandler handler);
void NdHandleClick(const char* event);

// Sets a dynamic property that the style sheet selects on and re-applies the
// style sheet, only when the value changes: restyling is the costly part, and
// rows set their properties on every progress report.
void NdSetStyleProperty(QWidget* widget, const char* name, const QVariant& value);

// Takes a button out of its hover look before it opens the browser or the file
// manager: they take the focus before the button sees the mouse leave, and it
// would keep its hover picture.
void NdClearHover(QWidget* widget);
