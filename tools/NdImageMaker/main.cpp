// Draws every picture of the program's resources (Src/res/img) from vector
// shapes, once at the normal size and once at double resolution ("_2x"), so
// that both forms stay identical in design and the pictures can be redrawn
// whenever the look changes. Run through scripts/make-images.
// With --app-icons it draws the desktop's application icons instead, into a
// hicolor icon theme folder; the build does that for the install tree.

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>

#include <cstdio>
#include <functional>
#include <vector>

namespace {

namespace Palette {
const QColor Blue(0x14, 0x72, 0xFF);
const QColor BlueLight(0x3D, 0x8B, 0xFF);
const QColor BluePressed(0x11, 0x59, 0xD6);
const QColor BluePale(0x8A, 0xB8, 0xFF);
const QColor Green(0x1F, 0xBF, 0x6A);
const QColor Orange(0xFF, 0xA3, 0x1A);
const QColor Red(0xFF, 0x47, 0x47);
const QColor Grey3(0x33, 0x33, 0x33);
const QColor Grey6(0x66, 0x66, 0x66);
const QColor Grey9(0x99, 0x99, 0x99);
const QColor GreyA(0xA6, 0xA6, 0xA6);
const QColor GreyC(0xC8, 0xC8, 0xC8);
const QColor White(0xFF, 0xFF, 0xFF);
const QColor MacRed(0xFF, 0x5F, 0x57);
const QColor MacRedEdge(0xE2, 0x46, 0x3F);
const QColor MacRedPressed(0xBF, 0x49, 0x43);
const QColor MacRedGlyph(0x7A, 0x1C, 0x14);
const QColor MacYellow(0xFE, 0xBC, 0x2E);
const QColor MacYellowEdge(0xE1, 0xA1, 0x16);
const QColor MacYellowPressed(0xBF, 0x8E, 0x22);
const QColor MacYellowGlyph(0x8A, 0x5A, 0x0A);
} // namespace Palette

const QString kProductName = QString::fromUtf8("课程下载器");

using DrawFn = std::function<void(QPainter&)>;

// One picture: its file name without extension and "_2x", its normal size in
// pixels, and a drawing in the coordinates of the normal size.
struct Picture_t
{
    QString Name;
    QSize Size;
    DrawFn Draw;
};

QPen RoundPen(const QColor& color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void StrokePolyline(QPainter& p, const QVector<QPointF>& points, const QPen& pen)
{
    p.save();
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(points.constData(), points.size());
    p.restore();
}

void FillCircle(QPainter& p, const QPointF& center, qreal radius, const QColor& color)
{
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawEllipse(center, radius, radius);
    p.restore();
}

void FillPolygonRounded(QPainter& p, const QPolygonF& polygon, const QColor& color, qreal rounding)
{
    // A stroke of the fill colour with round joins rounds the corners.
    p.save();
    p.setPen(RoundPen(color, rounding));
    p.setBrush(color);
    p.drawPolygon(polygon);
    p.restore();
}

// Glyphs are drawn inside a badge: a circle of radius 8.5 around (12, 12).
// DrawBadge maps that frame onto any centre and radius, pen widths included.
enum class Glyph
{
    None,
    ArrowDown,
    Check,
    Clock,
    PauseBars,
    Exclamation,
    Cross,
    Info
};

void DrawGlyph(QPainter& p, Glyph glyph, const QColor& color)
{
    switch (glyph) {
    case Glyph::None:
        break;
    case Glyph::ArrowDown:
        StrokePolyline(p, {{12, 7.2}, {12, 15.6}}, RoundPen(color, 1.7));
        StrokePolyline(p, {{8.6, 12.3}, {12, 15.7}, {15.4, 12.3}}, RoundPen(color, 1.7));
        break;
    case Glyph::Check:
        StrokePolyline(p, {{7.9, 12.3}, {10.9, 15.1}, {16.2, 9.3}}, RoundPen(color, 1.8));
        break;
    case Glyph::Clock:
        StrokePolyline(p, {{12, 7.6}, {12, 12.3}, {15.1, 14.2}}, RoundPen(color, 1.7));
        break;
    case Glyph::PauseBars:
        StrokePolyline(p, {{10.1, 8.6}, {10.1, 15.4}}, RoundPen(color, 1.9));
        StrokePolyline(p, {{13.9, 8.6}, {13.9, 15.4}}, RoundPen(color, 1.9));
        break;
    case Glyph::Exclamation:
        StrokePolyline(p, {{12, 7.4}, {12, 12.9}}, RoundPen(color, 1.9));
        FillCircle(p, {12, 16.0}, 1.15, color);
        break;
    case Glyph::Cross:
        StrokePolyline(p, {{9.0, 9.0}, {15.0, 15.0}}, RoundPen(color, 1.8));
        StrokePolyline(p, {{15.0, 9.0}, {9.0, 15.0}}, RoundPen(color, 1.8));
        break;
    case Glyph::Info:
        FillCircle(p, {12, 8.2}, 1.15, color);
        StrokePolyline(p, {{12, 11.0}, {12, 16.2}}, RoundPen(color, 1.9));
        break;
    }
}

void InBadgeFrame(QPainter& p, const QPointF& center, qreal radius, const std::function<void()>& draw)
{
    p.save();
    p.translate(center);
    p.scale(radius / 8.5, radius / 8.5);
    p.translate(-12, -12);
    draw();
    p.restore();
}

void DrawBadge(QPainter& p, const QPointF& center, qreal radius, const QColor& fill, Glyph glyph)
{
    InBadgeFrame(p, center, radius, [&]() {
        FillCircle(p, {12, 12}, 8.5, fill);
        DrawGlyph(p, glyph, Palette::White);
    });
}

void DrawOutlinedBadge(QPainter& p, const QPointF& center, qreal radius, const QColor& color, Glyph glyph)
{
    InBadgeFrame(p, center, radius, [&]() {
        p.save();
        p.setPen(QPen(color, 1.3));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(12, 12), 7.9, 7.9);
        p.restore();
        DrawGlyph(p, glyph, color);
    });
}

// ---- row buttons (16 x 16, outlined, one colour) ----------------------------

void DrawRowStart(QPainter& p, const QColor& color)
{
    p.save();
    p.setPen(QPen(color, 1.2));
    p.drawEllipse(QPointF(8, 8), 6.8, 6.8);
    p.restore();
    FillPolygonRounded(p, QPolygonF({{6.7, 5.4}, {6.7, 10.6}, {10.9, 8.0}}), color, 0.9);
}

void DrawRowPause(QPainter& p, const QColor& color)
{
    p.save();
    p.setPen(QPen(color, 1.2));
    p.drawEllipse(QPointF(8, 8), 6.8, 6.8);
    p.restore();
    StrokePolyline(p, {{6.6, 5.6}, {6.6, 10.4}}, RoundPen(color, 1.4));
    StrokePolyline(p, {{9.4, 5.6}, {9.4, 10.4}}, RoundPen(color, 1.4));
}

void DrawRowFolder(QPainter& p, const QColor& color)
{
    QPainterPath folder;
    folder.moveTo(1.9, 12.6);
    folder.lineTo(1.9, 3.4);
    folder.lineTo(6.1, 3.4);
    folder.lineTo(7.6, 5.0);
    folder.lineTo(14.1, 5.0);
    folder.lineTo(14.1, 12.6);
    folder.closeSubpath();
    p.save();
    p.setPen(RoundPen(color, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(folder);
    p.restore();
    StrokePolyline(p, {{1.9, 7.0}, {14.1, 7.0}}, RoundPen(color, 1.2));
}

void DrawRowDelete(QPainter& p, const QColor& color)
{
    const QPen pen = RoundPen(color, 1.2);
    StrokePolyline(p, {{2.4, 4.2}, {13.6, 4.2}}, pen);
    StrokePolyline(p, {{6.0, 4.2}, {6.0, 2.4}, {10.0, 2.4}, {10.0, 4.2}}, pen);
    StrokePolyline(p, {{3.9, 4.2}, {4.6, 13.6}, {11.4, 13.6}, {12.1, 4.2}}, pen);
    StrokePolyline(p, {{6.8, 6.8}, {6.8, 11.0}}, pen);
    StrokePolyline(p, {{9.2, 6.8}, {9.2, 11.0}}, pen);
}

// ---- close and window buttons ----------------------------------------------

void DrawCross(QPainter& p, const QPointF& center, qreal half, const QPen& pen)
{
    StrokePolyline(p, {center + QPointF(-half, -half), center + QPointF(half, half)}, pen);
    StrokePolyline(p, {center + QPointF(half, -half), center + QPointF(-half, half)}, pen);
}

void DrawMacButton(QPainter& p, const QColor& fill, const QColor& edge, const std::function<void()>& glyph)
{
    p.save();
    p.setPen(QPen(edge, 0.6));
    p.setBrush(fill);
    p.drawEllipse(QPointF(6, 6), 5.6, 5.6);
    p.restore();
    if (glyph)
        glyph();
}

void DrawMacClose(QPainter& p, bool withGlyph, bool pressed)
{
    DrawMacButton(p, pressed ? Palette::MacRedPressed : Palette::MacRed, Palette::MacRedEdge, [&]() {
        if (withGlyph)
            DrawCross(p, {6, 6}, 2.1, RoundPen(Palette::MacRedGlyph, 1.1));
    });
}

void DrawMacMin(QPainter& p, bool withGlyph, bool pressed)
{
    DrawMacButton(p, pressed ? Palette::MacYellowPressed : Palette::MacYellow, Palette::MacYellowEdge, [&]() {
        if (withGlyph)
            StrokePolyline(p, {{3.5, 6}, {8.5, 6}}, RoundPen(Palette::MacYellowGlyph, 1.2));
    });
}

void DrawDialogClose(QPainter& p, const QColor& background, const QColor& glyph)
{
    if (background.isValid()) {
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(background);
        p.drawRoundedRect(QRectF(2, 2, 24, 24), 4, 4);
        p.restore();
    }
    DrawCross(p, {14, 14}, 5, RoundPen(glyph, 1.5));
}

void DrawPopClose(QPainter& p, const QColor& glyph)
{
    DrawCross(p, {8, 8}, 4.5, RoundPen(glyph, 1.4));
}

void DrawTitleMinimize(QPainter& p)
{
    StrokePolyline(p, {{7, 12.5}, {17, 12.5}}, RoundPen(Palette::Grey6, 1.2));
}

void DrawTitleMaximize(QPainter& p)
{
    p.save();
    p.setPen(QPen(Palette::Grey6, 1.2));
    p.drawRoundedRect(QRectF(7.5, 7.5, 9, 9), 1, 1);
    p.restore();
}

void DrawTitleRestore(QPainter& p)
{
    const QPen pen = RoundPen(Palette::Grey6, 1.2);
    p.save();
    p.setPen(pen);
    p.drawRoundedRect(QRectF(7, 9.5, 7.5, 7.5), 1, 1);
    p.restore();
    StrokePolyline(p, {{9.5, 9.5}, {9.5, 7}, {17, 7}, {17, 14.5}, {14.5, 14.5}}, pen);
}

// ---- check boxes --------------------------------------------------------------

void DrawRoundCheck(QPainter& p, bool checked)
{
    if (checked) {
        DrawBadge(p, {8, 8}, 7.4, Palette::Blue, Glyph::Check);
        return;
    }
    p.save();
    p.setPen(QPen(Palette::GreyC, 1.0));
    p.setBrush(Palette::White);
    p.drawEllipse(QPointF(8, 8), 7.0, 7.0);
    p.restore();
}

void DrawSquareCheck(QPainter& p, bool checked)
{
    const QRectF box(0.5, 0.5, 13, 13);
    p.save();
    if (checked) {
        p.setPen(Qt::NoPen);
        p.setBrush(Palette::Blue);
        p.drawRoundedRect(box, 2.5, 2.5);
    } else {
        p.setPen(QPen(Palette::GreyC, 1.0));
        p.setBrush(Palette::White);
        p.drawRoundedRect(box, 2.5, 2.5);
    }
    p.restore();
    if (checked)
        StrokePolyline(p, {{3.6, 7.2}, {6.0, 9.6}, {10.5, 4.7}}, RoundPen(Palette::White, 1.5));
}

// ---- files, logos and illustrations -----------------------------------------

// A video document: a page with a folded corner and a play mark, fitted
// into the given square.
void DrawVideoFile(QPainter& p, qreal side)
{
    const qreal h = side * 0.9;
    const qreal w = h * 0.8;
    const qreal left = (side - w) / 2;
    const qreal top = (side - h) / 2;
    const qreal fold = w * 0.34;
    const qreal r = w * 0.1;

    QPainterPath page;
    page.moveTo(left + r, top);
    page.lineTo(left + w - fold, top);
    page.lineTo(left + w, top + fold);
    page.lineTo(left + w, top + h - r);
    page.quadTo(left + w, top + h, left + w - r, top + h);
    page.lineTo(left + r, top + h);
    page.quadTo(left, top + h, left, top + h - r);
    page.lineTo(left, top + r);
    page.quadTo(left, top, left + r, top);
    page.closeSubpath();

    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(Palette::Blue);
    p.drawPath(page);
    p.restore();

    QPainterPath corner;
    corner.moveTo(left + w - fold, top);
    corner.lineTo(left + w - fold, top + fold - r);
    corner.quadTo(left + w - fold, top + fold, left + w - fold + r, top + fold);
    corner.lineTo(left + w, top + fold);
    corner.closeSubpath();
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(Palette::BluePale);
    p.drawPath(corner);
    p.restore();

    const QPointF c(left + w / 2 + w * 0.03, top + h * 0.6);
    const qreal t = w * 0.2;
    FillPolygonRounded(p, QPolygonF({c + QPointF(-t * 0.8, -t), c + QPointF(-t * 0.8, t), c + QPointF(t, 0)}),
        Palette::White, side * 0.04);
}

// The product mark: a rounded blue tile with a white arrow into a tray.
void DrawLogoMark(QPainter& p, const QRectF& box)
{
    const qreal s = box.width();
    QLinearGradient gradient(box.topLeft(), box.bottomRight());
    gradient.setColorAt(0, Palette::BlueLight);
    gradient.setColorAt(1, Palette::Blue);
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(gradient);
    p.drawRoundedRect(box, s * 0.24, s * 0.24);
    p.restore();

    auto at = [&](qreal x, qreal y) { return box.topLeft() + QPointF(x * s, y * s); };
    const QPen pen = RoundPen(Palette::White, s * 0.095);
    StrokePolyline(p, {at(0.5, 0.22), at(0.5, 0.58)}, pen);
    StrokePolyline(p, {at(0.32, 0.42), at(0.5, 0.6), at(0.68, 0.42)}, pen);
    StrokePolyline(p, {at(0.27, 0.77), at(0.73, 0.77)}, pen);
}

QFont WordmarkFont()
{
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(100);
    font.setWeight(QFont::Bold);
    if (!QFontInfo(font).family().contains(QStringLiteral("CJK")))
        std::fprintf(stderr, "NdImageMaker: Noto Sans CJK SC not found; the logo lettering uses a fallback font\n");
    return font;
}

// Mark and product name on one line, drawn in a 124 x 22 frame.
void DrawWideLogo(QPainter& p)
{
    DrawLogoMark(p, QRectF(0.5, 0.5, 21, 21));

    QPainterPath text;
    text.addText(0, 0, WordmarkFont(), kProductName);
    const QRectF ink = text.boundingRect();
    const qreal left = 28;
    const qreal height = 15;
    const qreal scale = std::min(height / ink.height(), (124 - left - 1) / ink.width());
    p.save();
    p.translate(left, 11 - ink.height() * scale / 2);
    p.scale(scale, scale);
    p.translate(-ink.topLeft());
    p.setPen(Qt::NoPen);
    p.setBrush(Palette::Grey3);
    p.drawPath(text);
    p.restore();
}

// An empty tray with an arrow pointing into it: nothing downloaded yet.
void DrawNothing(QPainter& p)
{
    QRadialGradient shadow(QPointF(36, 62), 28);
    shadow.setColorAt(0, QColor(0xE4, 0xE9, 0xF2));
    shadow.setColorAt(1, QColor(0xE4, 0xE9, 0xF2, 0));
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(QPointF(36, 62), 28, 4.5);
    p.restore();

    FillPolygonRounded(p, QPolygonF({{22, 28}, {50, 28}, {60, 42}, {12, 42}}), QColor(0xEE, 0xF3, 0xFB), 2.5);

    QPainterPath front;
    front.moveTo(12, 42);
    front.lineTo(26, 42);
    front.lineTo(29, 47.5);
    front.lineTo(43, 47.5);
    front.lineTo(46, 42);
    front.lineTo(60, 42);
    front.lineTo(60, 55);
    front.quadTo(60, 58, 57, 58);
    front.lineTo(15, 58);
    front.quadTo(12, 58, 12, 55);
    front.closeSubpath();
    p.save();
    p.setPen(RoundPen(QColor(0xD6, 0xE1, 0xF2), 1.0));
    p.setBrush(QColor(0xDC, 0xE6, 0xF5));
    p.drawPath(front);
    p.restore();

    const QPen arrow = RoundPen(QColor(0xA9, 0xC3, 0xEE), 3.2);
    StrokePolyline(p, {{36, 8}, {36, 30}}, arrow);
    StrokePolyline(p, {{28.5, 23}, {36, 30.5}, {43.5, 23}}, arrow);
}

void DrawAboutBackground(QPainter& p)
{
    QLinearGradient wash(0, 0, 0, 280);
    wash.setColorAt(0, QColor(0xE8, 0xF1, 0xFF));
    wash.setColorAt(0.55, Palette::White);
    wash.setColorAt(1, Palette::White);
    p.fillRect(QRectF(0, 0, 420, 280), wash);

    auto softCircle = [&](const QPointF& center, qreal radius, int alpha) {
        QColor color = Palette::Blue;
        color.setAlpha(alpha);
        FillCircle(p, center, radius, color);
    };
    softCircle({392, 18}, 92, 14);
    softCircle({430, 96}, 54, 12);
    softCircle({-6, 270}, 70, 10);

    p.save();
    QColor ring = Palette::Blue;
    ring.setAlpha(40);
    p.setPen(QPen(ring, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(54, 46), 12, 12);
    p.restore();
    QColor dot = Palette::Blue;
    dot.setAlpha(50);
    FillCircle(p, {84, 28}, 3, dot);
    FillCircle(p, {360, 236}, 4, dot);
}

// ---- the list -------------------------------------------------------------------

void AddStateButton(std::vector<Picture_t>& pictures, const QString& stem, const QSize& size,
    const std::function<void(QPainter&, const QColor&)>& draw)
{
    const QString suffix = QStringLiteral("_%1x%2").arg(size.width()).arg(size.height());
    pictures.push_back({stem + suffix, size, [=](QPainter& p) { draw(p, Palette::Grey9); }});
    pictures.push_back({stem + QStringLiteral("_hover") + suffix, size, [=](QPainter& p) { draw(p, Palette::Blue); }});
    pictures.push_back(
        {stem + QStringLiteral("_pressed") + suffix, size, [=](QPainter& p) { draw(p, Palette::BluePressed); }});
}

std::vector<Picture_t> AllPictures()
{
    std::vector<Picture_t> pictures;
    auto add = [&](const QString& name, int w, int h, DrawFn draw) { pictures.push_back({name, QSize(w, h), draw}); };

    add("logo_14x14", 14, 14, [](QPainter& p) { DrawLogoMark(p, QRectF(0, 0, 14, 14)); });
    add("logo_124x22", 124, 22, [](QPainter& p) { DrawWideLogo(p); });
    add("logo_248x44", 248, 44, [](QPainter& p) {
        p.scale(2, 2);
        DrawWideLogo(p);
    });

    add("mac_close_normal_12x12", 12, 12, [](QPainter& p) { DrawMacClose(p, false, false); });
    add("mac_close_hover_12x12", 12, 12, [](QPainter& p) { DrawMacClose(p, true, false); });
    add("mac_close_pressed_12x12", 12, 12, [](QPainter& p) { DrawMacClose(p, true, true); });
    add("mac_min_normal_12x12", 12, 12, [](QPainter& p) { DrawMacMin(p, false, false); });
    add("mac_min_hover_12x12", 12, 12, [](QPainter& p) { DrawMacMin(p, true, false); });
    add("mac_min_pressed_12x12", 12, 12, [](QPainter& p) { DrawMacMin(p, true, true); });

    add("close_28x28", 28, 28, [](QPainter& p) { DrawDialogClose(p, QColor(), Palette::Grey9); });
    add("close_hover_28x28", 28, 28, [](QPainter& p) { DrawDialogClose(p, QColor(0xF0, 0xF0, 0xF0), Palette::Grey3); });
    add("close_pressed_28x28", 28, 28,
        [](QPainter& p) { DrawDialogClose(p, QColor(0xE2, 0xE2, 0xE2), Palette::Grey3); });
    AddStateButton(pictures, "popdlg_close", QSize(16, 16), DrawPopClose);

    add("titlebar_min_24x24", 24, 24, DrawTitleMinimize);
    add("titlebar_max_24x24", 24, 24, DrawTitleMaximize);
    add("titlebar_restore_24x24", 24, 24, DrawTitleRestore);

    AddStateButton(pictures, "start", QSize(16, 16), DrawRowStart);
    AddStateButton(pictures, "pause", QSize(16, 16), DrawRowPause);
    AddStateButton(pictures, "folder", QSize(16, 16), DrawRowFolder);
    AddStateButton(pictures, "delete", QSize(16, 16), DrawRowDelete);

    const QPointF stateCenter(12, 12);
    add("downloading_24x24", 24, 24,
        [=](QPainter& p) { DrawBadge(p, stateCenter, 8.5, Palette::Blue, Glyph::ArrowDown); });
    add("downloaded_24x24", 24, 24, [=](QPainter& p) { DrawBadge(p, stateCenter, 8.5, Palette::Green, Glyph::Check); });
    add("wait_24x24", 24, 24, [=](QPainter& p) { DrawBadge(p, stateCenter, 8.5, Palette::Orange, Glyph::Clock); });
    add("pause_24x24", 24, 24, [=](QPainter& p) { DrawBadge(p, stateCenter, 8.5, Palette::GreyA, Glyph::PauseBars); });
    add("fail_24x24", 24, 24, [=](QPainter& p) { DrawBadge(p, stateCenter, 8.5, Palette::Red, Glyph::Exclamation); });

    const QPointF toastCenter(10, 10);
    add("tip_20x20", 20, 20, [=](QPainter& p) { DrawBadge(p, toastCenter, 8.8, Palette::Orange, Glyph::Exclamation); });
    add("success_20x20", 20, 20, [=](QPainter& p) { DrawBadge(p, toastCenter, 8.8, Palette::Green, Glyph::Check); });
    add("error_20x20", 20, 20, [=](QPainter& p) { DrawBadge(p, toastCenter, 8.8, Palette::Red, Glyph::Cross); });
    add("warning_20x20", 20, 20, [](QPainter& p) {
        FillPolygonRounded(p, QPolygonF({{10, 2.2}, {18.6, 17.2}, {1.4, 17.2}}), Palette::Orange, 2.4);
        InBadgeFrame(p, {10, 11.6}, 7.2, [&]() { DrawGlyph(p, Glyph::Exclamation, Palette::White); });
    });
    add("information_16x16", 16, 16, [](QPainter& p) {
        DrawOutlinedBadge(p, {8, 8}, 7.2, Palette::Grey9, Glyph::Info);
    });

    add("video_24x24", 24, 24, [](QPainter& p) { DrawVideoFile(p, 24); });
    add("video_48x48", 48, 48, [](QPainter& p) { DrawVideoFile(p, 48); });

    add("uncheck_16x16", 16, 16, [](QPainter& p) { DrawRoundCheck(p, false); });
    add("checked_16x16", 16, 16, [](QPainter& p) { DrawRoundCheck(p, true); });
    add("checkbox_unchecked_14x14", 14, 14, [](QPainter& p) { DrawSquareCheck(p, false); });
    add("checkbox_checked_14x14", 14, 14, [](QPainter& p) { DrawSquareCheck(p, true); });

    add("nothing_72x72", 72, 72, DrawNothing);
    add("about_background", 420, 280, DrawAboutBackground);
    return pictures;
}

QImage Render(const QSize& size, int scale, const DrawFn& draw)
{
    QImage image(size * scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    p.scale(scale, scale);
    draw(p);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

bool SavePicture(const QDir& dir, const Picture_t& picture)
{
    const bool normal = Render(picture.Size, 1, picture.Draw).save(dir.filePath(picture.Name + ".png"));
    const bool doubled = Render(picture.Size, 2, picture.Draw).save(dir.filePath(picture.Name + "_2x.png"));
    return normal && doubled;
}

QByteArray PngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Writes an icon file with one PNG-compressed entry per image, so that the
// window icon carries both the normal and the double-resolution form.
bool SaveIcon(const QString& path, const QList<QImage>& images)
{
    QList<QByteArray> entries;
    for (const QImage& image : images)
        entries.append(PngBytes(image));

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(images.size());
    quint32 offset = 6 + 16 * images.size();
    for (int i = 0; i < images.size(); ++i) {
        const QSize size = images.at(i).size();
        out << quint8(size.width() >= 256 ? 0 : size.width()) << quint8(size.height() >= 256 ? 0 : size.height())
            << quint8(0) << quint8(0) << quint16(1) << quint16(32) << quint32(entries.at(i).size()) << offset;
        offset += entries.at(i).size();
    }
    for (const QByteArray& entry : entries)
        out.writeRawData(entry.constData(), entry.size());
    return out.status() == QDataStream::Ok;
}

bool SaveWindowIcon(const QDir& dir)
{
    const DrawFn mark = [](QPainter& p) { DrawLogoMark(p, QRectF(1, 1, 40, 40)); };
    return SaveIcon(dir.filePath("logo_42x42.ico"), {Render(QSize(42, 42), 1, mark), Render(QSize(42, 42), 2, mark)});
}

// The product mark alone, with a small margin as theme icons have, at every
// size a menu, a panel or a software centre asks for: <size>x<size>/apps/nddownloader.png.
bool SaveApplicationIcons(const QDir& themeDir)
{
    static const int sizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};
    for (const int size : sizes) {
        const qreal margin = size / 16.0;
        const DrawFn mark
            = [=](QPainter& p) { DrawLogoMark(p, QRectF(margin, margin, size - 2 * margin, size - 2 * margin)); };
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        if (!themeDir.mkpath(folder)
            || !Render(QSize(size, size), 1, mark).save(themeDir.filePath(folder + "/nddownloader.png")))
            return false;
    }
    return true;
}

int DrawResourcePictures(const QDir& dir)
{
    int failures = 0;
    for (const Picture_t& picture : AllPictures()) {
        if (!SavePicture(dir, picture)) {
            std::fprintf(stderr, "NdImageMaker: cannot write %s\n", qPrintable(picture.Name));
            ++failures;
        }
    }
    if (!SaveWindowIcon(dir)) {
        std::fprintf(stderr, "NdImageMaker: cannot write the window icon\n");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const bool appIcons = argc == 3 && qstrcmp(argv[1], "--app-icons") == 0;
    if (argc != 2 && !appIcons) {
        std::fprintf(stderr, "usage: NdImageMaker <output folder>\n       NdImageMaker --app-icons <hicolor folder>\n");
        return 2;
    }
    const char* folder = argv[argc - 1];
    QDir dir(QString::fromLocal8Bit(folder));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "NdImageMaker: cannot create %s\n", folder);
        return 1;
    }
    if (!appIcons)
        return DrawResourcePictures(dir);
    if (!SaveApplicationIcons(dir)) {
        std::fprintf(stderr, "NdImageMaker: cannot write the application icons into %s\n", folder);
        return 1;
    }
    return 0;
}
