// Built-in icons: every shape is laid out on a 48 x 48 grid and scaled to the requested size.
// No fonts are used, so drawing works on any thread and without a GUI application.
#include "thumbs/builtin_icons.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <cmath>

namespace {

const QColor kSheetFill(250, 250, 250);
const QColor kSheetEdge(110, 110, 110);
const QColor kLineGrey(150, 150, 150);

void DrawSheet(QPainter& p) {
    QPainterPath sheet;
    sheet.moveTo(10, 4);
    sheet.lineTo(30, 4);
    sheet.lineTo(38, 12);
    sheet.lineTo(38, 44);
    sheet.lineTo(10, 44);
    sheet.closeSubpath();
    p.setPen(QPen(kSheetEdge, 1.5));
    p.setBrush(kSheetFill);
    p.drawPath(sheet);
    QPainterPath fold;
    fold.moveTo(30, 4);
    fold.lineTo(30, 12);
    fold.lineTo(38, 12);
    fold.closeSubpath();
    p.setBrush(QColor(220, 220, 220));
    p.drawPath(fold);
}

void DrawLines(QPainter& p, const QColor& colour, double top, int count, double width) {
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::FlatCap));
    for (int i = 0; i < count; ++i) {
        const double y = top + i * 4.0;
        const double right = i == count - 1 ? 26.0 : 34.0;
        p.drawLine(QPointF(14, y), QPointF(right, y));
    }
}

void DrawEmblem(QPainter& p, TBuiltInIconKind kind) {
    switch (kind) {
    case TBuiltInIconKind::GenericFile:
        break;
    case TBuiltInIconKind::Text:
        DrawLines(p, kLineGrey, 16, 6, 1.5);
        break;
    case TBuiltInIconKind::Document: {
        const QColor blue(52, 101, 164);
        p.setPen(QPen(blue, 3, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(QPointF(14, 17), QPointF(28, 17));
        DrawLines(p, blue, 23, 5, 1.5);
        break;
    }
    case TBuiltInIconKind::Spreadsheet: {
        const QColor green(78, 154, 6);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(78, 154, 6, 60));
        p.drawRect(QRectF(13, 16, 22, 24));
        p.setBrush(green);
        p.drawRect(QRectF(13, 16, 22, 5));
        p.setPen(QPen(green, 1.2));
        for (double x : {13.0, 20.3, 27.6, 35.0}) p.drawLine(QPointF(x, 16), QPointF(x, 40));
        for (double y : {16.0, 21.0, 27.3, 33.6, 40.0}) p.drawLine(QPointF(13, y), QPointF(35, y));
        break;
    }
    case TBuiltInIconKind::Presentation: {
        const QColor orange(245, 121, 0);
        p.setPen(QPen(orange, 1.5));
        p.setBrush(QColor(252, 233, 210));
        p.drawRect(QRectF(13, 16, 22, 16));
        p.setPen(Qt::NoPen);
        p.setBrush(orange);
        p.drawRect(QRectF(16, 24, 4, 6));
        p.drawRect(QRectF(22, 20, 4, 10));
        p.drawRect(QRectF(28, 22, 4, 8));
        p.setPen(QPen(orange, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(24, 32), QPointF(24, 38));
        p.drawLine(QPointF(19, 40), QPointF(24, 37));
        p.drawLine(QPointF(29, 40), QPointF(24, 37));
        break;
    }
    case TBuiltInIconKind::Image: {
        p.setPen(QPen(kSheetEdge, 1));
        p.setBrush(QColor(114, 159, 207));
        p.drawRect(QRectF(13, 17, 22, 20));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(252, 233, 79));
        p.drawEllipse(QPointF(29, 22), 3, 3);
        p.setBrush(QColor(78, 154, 6));
        p.drawPolygon(QPolygonF({QPointF(13, 37), QPointF(21, 25), QPointF(27, 32), QPointF(30, 29), QPointF(35, 37)}));
        break;
    }
    case TBuiltInIconKind::Audio: {
        const QColor purple(117, 80, 123);
        p.setPen(Qt::NoPen);
        p.setBrush(purple);
        p.drawEllipse(QPointF(19, 35), 4.5, 3.5);
        p.drawEllipse(QPointF(30, 32), 4.5, 3.5);
        p.drawRect(QRectF(22, 17, 2, 18));
        p.drawRect(QRectF(33, 14, 2, 18));
        p.drawPolygon(QPolygonF({QPointF(22, 17), QPointF(35, 14), QPointF(35, 19), QPointF(22, 22)}));
        break;
    }
    case TBuiltInIconKind::Video: {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(46, 52, 54));
        p.drawRect(QRectF(13, 17, 22, 22));
        p.setBrush(kSheetFill);
        for (int i = 0; i < 5; ++i) {
            p.drawRect(QRectF(14, 18.5 + i * 4.2, 2, 2));
            p.drawRect(QRectF(32, 18.5 + i * 4.2, 2, 2));
        }
        p.setBrush(QColor(204, 0, 0));
        p.drawPolygon(QPolygonF({QPointF(20, 22), QPointF(29, 28), QPointF(20, 34)}));
        break;
    }
    case TBuiltInIconKind::Archive: {
        const QColor brown(143, 89, 2);
        p.setPen(Qt::NoPen);
        p.setBrush(brown);
        for (int i = 0; i < 6; ++i) p.drawRect(QRectF(i % 2 == 0 ? 22 : 24, 5 + i * 3.0, 2, 3));
        p.drawRoundedRect(QRectF(20.5, 24, 7, 10), 1.5, 1.5);
        p.setBrush(kSheetFill);
        p.drawRect(QRectF(22.5, 29, 3, 3));
        break;
    }
    case TBuiltInIconKind::Pdf: {
        const QColor red(204, 0, 0);
        DrawLines(p, kLineGrey, 16, 3, 1.5);
        p.setPen(Qt::NoPen);
        p.setBrush(red);
        p.drawRect(QRectF(10.75, 30, 26.5, 10));
        p.setBrush(kSheetFill);
        // Three white blocks stand for the format's name on the red band.
        p.drawRect(QRectF(14, 32, 5, 6));
        p.drawRect(QRectF(21.5, 32, 5, 6));
        p.drawRect(QRectF(29, 32, 5, 6));
        break;
    }
    case TBuiltInIconKind::Font: {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(46, 52, 54));
        QPainterPath letter;
        letter.moveTo(22, 15);
        letter.lineTo(26, 15);
        letter.lineTo(34, 40);
        letter.lineTo(30, 40);
        letter.lineTo(28, 33.5);
        letter.lineTo(20, 33.5);
        letter.lineTo(18, 40);
        letter.lineTo(14, 40);
        letter.closeSubpath();
        letter.moveTo(24, 20);
        letter.lineTo(21.2, 29.5);
        letter.lineTo(26.8, 29.5);
        letter.closeSubpath();
        letter.setFillRule(Qt::OddEvenFill);
        p.drawPath(letter);
        break;
    }
    case TBuiltInIconKind::Executable: {
        const QColor steel(85, 87, 83);
        QPainterPath gear;
        const QPointF centre(24, 28);
        const int teeth = 8;
        for (int i = 0; i < teeth * 2; ++i) {
            const double angle = M_PI * i / teeth;
            const double radius = i % 2 == 0 ? 10.5 : 8.0;
            const QPointF point(centre.x() + radius * std::cos(angle), centre.y() + radius * std::sin(angle));
            if (i == 0) gear.moveTo(point);
            else gear.lineTo(point);
        }
        gear.closeSubpath();
        gear.addEllipse(centre, 3.5, 3.5);
        gear.setFillRule(Qt::OddEvenFill);
        p.setPen(Qt::NoPen);
        p.setBrush(steel);
        p.drawPath(gear);
        break;
    }
    }
}

}  // namespace

TRgbaImage BuiltInIcon(TBuiltInIconKind kind, int size) {
    if (size <= 0) return {};
    QImage canvas(size, size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 48.0, size / 48.0);
    DrawSheet(painter);
    DrawEmblem(painter, kind);
    painter.end();
    return ToRgbaImage(canvas);
}
