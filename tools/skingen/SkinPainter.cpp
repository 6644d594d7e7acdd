#include "SkinPainter.h"

#include <QAbstractTextDocumentLayout>
#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>

#include <cmath>
#include <memory>
#include <stdexcept>

namespace skingen {
namespace {

QString utf8(const char* text) {
    return QString::fromUtf8(text);
}

QFont uiFont(int pixelSize, bool bold = false) {
    QFont font(QString::fromLatin1(kFontFamily));
    font.setPixelSize(pixelSize);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    // Only the loaded face, grey antialiasing and a fixed hinting, whatever the desktop's
    // font settings: the same pixels on every run.
    font.setStyleStrategy(QFont::StyleStrategy(QFont::NoFontMerging | QFont::NoSubpixelAntialias));
    font.setHintingPreference(QFont::PreferVerticalHinting);
    return font;
}

void requireFits(const QString& text, const QSizeF& needed, const QSizeF& box) {
    if (needed.width() <= box.width() && needed.height() <= box.height()) return;
    throw std::runtime_error(QStringLiteral("text needs %1 x %2 px but has %3 x %4 px: %5")
                                 .arg(needed.width())
                                 .arg(needed.height())
                                 .arg(box.width())
                                 .arg(box.height())
                                 .arg(text)
                                 .toStdString());
}

// The size a line of text takes when drawn with drawText.
QSize textSize(const QFont& font, const QString& text) {
    return QFontMetrics(font).boundingRect(QRect(0, 0, 10000, 1000), 0, text).size();
}

// Plain text in a box, optionally with a soft dark shadow one pixel down and right.
void drawText(QPainter& p, const QRect& box, int flags, const QString& text, const QFont& font,
              const QColor& colour, bool shadow = false) {
    p.setFont(font);
    requireFits(text, p.boundingRect(box, flags, text).size(), box.size());
    if (shadow) {
        p.setPen(QColor(0, 0, 0, 80));
        p.drawText(box.translated(1, 1), flags, text);
    }
    p.setPen(colour);
    p.drawText(box, flags, text);
}

// A wrapped document of paragraphs whose {braced} parts are red, optionally numbered 1., 2., ...
std::unique_ptr<QTextDocument> richText(const QStringList& paragraphs, const QFont& font, int width,
                                        int lineHeightPercent, bool numbered) {
    auto doc = std::make_unique<QTextDocument>();
    doc->setDocumentMargin(0);
    doc->setDefaultFont(font);
    doc->setIndentWidth(QFontMetrics(font).horizontalAdvance(QStringLiteral("0. ")) + 2);
    doc->setTextWidth(width);

    QTextCharFormat plain;
    plain.setForeground(colour::kText);
    QTextCharFormat alert;
    alert.setForeground(colour::kAlert);
    QTextBlockFormat block;
    block.setLineHeight(lineHeightPercent, QTextBlockFormat::ProportionalHeight);

    QTextCursor cursor(doc.get());
    cursor.setBlockFormat(block);
    cursor.setBlockCharFormat(plain);
    if (numbered) {
        QTextListFormat list;
        list.setStyle(QTextListFormat::ListDecimal);
        list.setIndent(1);
        cursor.createList(list);
    }
    for (qsizetype i = 0; i < paragraphs.size(); ++i) {
        if (i > 0) cursor.insertBlock();  // keeps the block format and list membership
        const QStringList parts = paragraphs[i].split(u'{');
        for (qsizetype k = 0; k < parts.size(); ++k) {
            if (k == 0) {
                cursor.insertText(parts[k], plain);
                continue;
            }
            const qsizetype close = parts[k].indexOf(u'}');
            if (close < 0)
                throw std::runtime_error("unmatched '{' in: " + paragraphs[i].toStdString());
            cursor.insertText(parts[k].left(close), alert);
            cursor.insertText(parts[k].mid(close + 1), plain);
        }
    }
    requireFits(paragraphs.join(u'\n'), {doc->idealWidth(), 0}, {qreal(width), 0});
    return doc;
}

void drawDocument(QPainter& p, const QTextDocument& doc, const QPointF& at) {
    p.save();
    p.translate(at);
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette.setColor(QPalette::Text, colour::kText);
    doc.documentLayout()->draw(&p, context);
    p.restore();
}

void fillVertical(QPainter& p, const QRect& r, const QColor& top, const QColor& bottom) {
    QLinearGradient gradient(r.left(), r.top(), r.left(), r.bottom() + 1);
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    p.fillRect(r, gradient);
}

// A one-pixel outline along the edge pixels of r.
void outline(QPainter& p, const QRect& r, const QColor& colour) {
    p.fillRect(QRect(r.left(), r.top(), r.width(), 1), colour);
    p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), colour);
    p.fillRect(QRect(r.left(), r.top(), 1, r.height()), colour);
    p.fillRect(QRect(r.right(), r.top(), 1, r.height()), colour);
}

// Soft shadow to the right of and below r: stacked translucent layers, darkest at the edge.
void dropShadow(QPainter& p, const QRect& r) {
    for (int d = kShadowDepth; d >= 1; --d) p.fillRect(r.translated(d, d), colour::kShadow);
}

// Maps a square of units x units (100 by default) onto box for the lifetime of the object.
class UnitBox {
public:
    UnitBox(QPainter& p, const QRectF& box, qreal units = 100) : p_(p) {
        p_.save();
        p_.translate(box.topLeft());
        p_.scale(box.width() / units, box.height() / units);
    }
    ~UnitBox() { p_.restore(); }
    UnitBox(const UnitBox&) = delete;
    UnitBox& operator=(const UnitBox&) = delete;

private:
    QPainter& p_;
};

// ---------------------------------------------------------------------------------------------
// Artwork

// The badge: a yellow disc with a blue head-and-shoulders figure and a green tick; drawn in
// 128 units.
void drawBadge(QPainter& p, const QRectF& box) {
    UnitBox units(p, box, 128);
    p.setPen(Qt::NoPen);

    QLinearGradient rim(0, 2, 0, 126);
    rim.setColorAt(0, QColor(252, 200, 60));
    rim.setColorAt(1, QColor(196, 118, 8));
    p.setBrush(rim);
    p.drawEllipse(QPointF(64, 64), 62, 62);

    QRadialGradient disc(QPointF(52, 42), 84);
    disc.setColorAt(0, QColor(255, 240, 150));
    disc.setColorAt(0.6, QColor(250, 198, 46));
    disc.setColorAt(1, QColor(236, 160, 20));
    p.setBrush(disc);
    p.drawEllipse(QPointF(64, 64), 55, 55);

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 250, 220, 170), 1.6));
    p.drawEllipse(QPointF(64, 64), 50, 50);

    // The figure, clipped to the inner ring.
    p.save();
    QPainterPath ring;
    ring.addEllipse(QPointF(64, 64), 49, 49);
    p.setClipPath(ring, Qt::IntersectClip);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(16, 96, 176));
    p.drawEllipse(QPointF(60, 50), 17, 19);
    QPainterPath shoulders;
    shoulders.moveTo(22, 118);
    shoulders.cubicTo(24, 86, 40, 76, 60, 76);
    shoulders.cubicTo(80, 76, 96, 86, 98, 118);
    shoulders.closeSubpath();
    p.drawPath(shoulders);
    p.restore();

    // Tick on a green disc at the lower right.
    p.setPen(QPen(QColor(255, 255, 255), 4));
    p.setBrush(QColor(40, 160, 70));
    p.drawEllipse(QPointF(92, 88), 19, 19);
    QPainterPath tick;
    tick.moveTo(82, 88);
    tick.lineTo(89, 96);
    tick.lineTo(103, 80);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255), 5.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);

    // Gloss over the upper half.
    QLinearGradient gloss(0, 10, 0, 64);
    gloss.setColorAt(0, QColor(255, 255, 255, 110));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawEllipse(QRectF(22, 10, 84, 52));
}

// Head-and-shoulders portrait on white, in the frame's pixel coordinates (176 x 227).
void drawSamplePortrait(QPainter& p, const QRect& area) {
    p.save();
    p.setClipRect(area);
    p.translate(area.topLeft());
    p.setPen(Qt::NoPen);
    const qreal cx = area.width() / 2.0;

    const QColor skin(246, 214, 188);
    const QColor skinShade(226, 184, 152);
    const QColor hair(44, 34, 30);
    const QColor suit(40, 56, 88);

    // Suit and shoulders.
    QPainterPath body;
    body.moveTo(-4, 228);
    body.lineTo(-4, 206);
    body.cubicTo(8, 184, 34, 176, cx - 24, 170);
    body.lineTo(cx + 24, 170);
    body.cubicTo(area.width() - 34, 176, area.width() - 8, 184, area.width() + 4, 206);
    body.lineTo(area.width() + 4, 228);
    body.closeSubpath();
    QLinearGradient suitShade(0, 170, 0, 228);
    suitShade.setColorAt(0, suit.lighter(125));
    suitShade.setColorAt(1, suit);
    p.setBrush(suitShade);
    p.drawPath(body);

    // Neck, with the shadow of the chin.
    p.setBrush(skinShade);
    p.drawRect(QRectF(cx - 15, 140, 30, 36));
    // Shirt opening and tie.
    p.setBrush(QColor(250, 250, 252));
    p.drawPolygon(QPolygonF{{cx - 24, 170}, {cx + 24, 170}, {cx, 212}});
    p.setBrush(skinShade);
    p.drawPolygon(QPolygonF{{cx - 12, 170}, {cx + 12, 170}, {cx, 180}});
    p.setBrush(QColor(150, 32, 44));
    p.drawPolygon(QPolygonF{{cx - 5, 181}, {cx + 5, 181}, {cx + 3, 187}, {cx - 3, 187}});
    p.drawPolygon(QPolygonF{{cx - 3, 187}, {cx + 3, 187}, {cx + 6, 206}, {cx, 214}, {cx - 6, 206}});
    p.setPen(QPen(QColor(196, 200, 210), 1.2));
    p.drawLine(QPointF(cx - 12, 170), QPointF(cx - 4, 184));
    p.drawLine(QPointF(cx + 12, 170), QPointF(cx + 4, 184));
    p.setPen(Qt::NoPen);

    // Hair behind the head, ears, face.
    p.setBrush(hair);
    p.drawEllipse(QPointF(cx, 98), 44, 46);
    p.setBrush(skinShade);
    p.drawEllipse(QPointF(cx - 42, 112), 7, 13);
    p.drawEllipse(QPointF(cx + 42, 112), 7, 13);
    QRadialGradient face(QPointF(cx - 8, 100), 60);
    face.setColorAt(0, skin.lighter(104));
    face.setColorAt(1, skin);
    p.setBrush(face);
    p.drawEllipse(QPointF(cx, 110), 40, 50);

    // Fringe, parted on the right and swept to the left.
    QPainterPath fringe;
    fringe.moveTo(cx - 42, 106);
    fringe.cubicTo(cx - 48, 66, cx - 20, 50, cx + 4, 52);
    fringe.cubicTo(cx + 34, 54, cx + 48, 76, cx + 42, 106);
    fringe.cubicTo(cx + 38, 90, cx + 32, 80, cx + 20, 74);
    fringe.cubicTo(cx + 4, 82, cx - 24, 82, cx - 42, 106);
    p.setBrush(hair);
    p.drawPath(fringe);

    // Brows, eyes, nose, mouth.
    p.setPen(QPen(hair, 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(cx - 25, 100), QPointF(cx - 11, 98));
    p.drawLine(QPointF(cx + 11, 98), QPointF(cx + 25, 100));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255));
    p.drawEllipse(QPointF(cx - 17, 108), 6, 3.2);
    p.drawEllipse(QPointF(cx + 17, 108), 6, 3.2);
    p.setBrush(QColor(52, 38, 34));
    p.drawEllipse(QPointF(cx - 17, 108), 3, 3);
    p.drawEllipse(QPointF(cx + 17, 108), 3, 3);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(skinShade.darker(115), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF{{cx - 1, 112}, {cx - 4, 126}, {cx + 3, 128}});
    p.setPen(QPen(QColor(196, 104, 100), 2.4, Qt::SolidLine, Qt::RoundCap));
    QPainterPath mouth;
    mouth.moveTo(cx - 10, 138);
    mouth.quadTo(cx, 144, cx + 10, 138);
    p.drawPath(mouth);
    p.restore();
}

// A framed landscape: the idle result panel's "picture goes here" mark.
void drawPlaceholder(QPainter& p, const QRectF& box) {
    UnitBox units(p, box);
    p.setPen(QPen(colour::kPlaceholder, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3, 12, 94, 76), 10, 10);
    p.setPen(Qt::NoPen);
    p.setBrush(colour::kPlaceholder);
    p.drawEllipse(QPointF(70, 34), 9, 9);
    p.drawPolygon(QPolygonF{{12, 80}, {38, 44}, {56, 66}, {66, 56}, {88, 80}});
}

// Red disc with a white exclamation mark.
void drawWarningMark(QPainter& p, const QRectF& box) {
    UnitBox units(p, box);
    p.setPen(Qt::NoPen);
    QLinearGradient disc(0, 0, 0, 100);
    disc.setColorAt(0, colour::kAlert.lighter(125));
    disc.setColorAt(1, colour::kAlert);
    p.setBrush(disc);
    p.drawEllipse(QRectF(2, 2, 96, 96));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(43, 20, 14, 44), 7, 7);
    p.drawEllipse(QPointF(50, 78), 8, 8);
}

void drawFolder(QPainter& p) {
    const QColor edge(170, 112, 8);
    QPainterPath back;
    back.moveTo(6, 20);
    back.lineTo(38, 20);
    back.lineTo(46, 30);
    back.lineTo(92, 30);
    back.lineTo(92, 84);
    back.lineTo(6, 84);
    back.closeSubpath();
    p.setPen(QPen(edge, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(238, 176, 36));
    p.drawPath(back);

    p.setPen(QPen(QColor(200, 200, 200), 2));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(16, 30, 66, 30));

    QLinearGradient front(0, 42, 0, 88);
    front.setColorAt(0, QColor(255, 230, 110));
    front.setColorAt(1, QColor(246, 186, 40));
    p.setPen(QPen(edge, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(front);
    p.drawPolygon(QPolygonF{{2, 44}, {98, 44}, {90, 88}, {10, 88}});
}

void drawFloppy(QPainter& p) {
    QPainterPath body;
    body.moveTo(8, 8);
    body.lineTo(80, 8);
    body.lineTo(94, 22);
    body.lineTo(94, 94);
    body.lineTo(8, 94);
    body.closeSubpath();
    QLinearGradient shade(0, 8, 0, 94);
    shade.setColorAt(0, QColor(64, 86, 140));
    shade.setColorAt(1, QColor(30, 44, 84));
    p.setPen(QPen(QColor(16, 24, 50), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(shade);
    p.drawPath(body);

    QLinearGradient metal(0, 8, 0, 40);
    metal.setColorAt(0, QColor(236, 238, 242));
    metal.setColorAt(1, QColor(168, 174, 186));
    p.setPen(Qt::NoPen);
    p.setBrush(metal);
    p.drawRect(QRectF(26, 9, 48, 32));
    p.setBrush(QColor(40, 52, 84));
    p.drawRect(QRectF(58, 15, 9, 20));

    p.setBrush(QColor(250, 250, 250));
    p.drawRoundedRect(QRectF(20, 54, 62, 36), 3, 3);
    p.setPen(QPen(QColor(120, 170, 220), 3));
    p.drawLine(QPointF(28, 66), QPointF(74, 66));
    p.drawLine(QPointF(28, 78), QPointF(74, 78));
}

void drawRunnerFigure(QPainter& p, const QColor& colour) {
    p.setPen(QPen(colour, 12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(58, 30), QPointF(46, 58));             // torso
    p.drawPolyline(QPolygonF{{56, 36}, {72, 46}, {86, 38}});  // front arm
    p.drawPolyline(QPolygonF{{56, 36}, {40, 38}, {28, 52}});  // back arm
    p.drawPolyline(QPolygonF{{46, 58}, {64, 70}, {60, 92}});  // front leg
    p.drawPolyline(QPolygonF{{46, 58}, {36, 76}, {16, 80}});  // back leg
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QPointF(66, 15), 10, 10);
}

void drawRunner(QPainter& p) {
    p.save();
    p.translate(3, 3);
    drawRunnerFigure(p, QColor(90, 0, 0, 110));
    p.restore();
    drawRunnerFigure(p, Qt::white);
}

void drawGlossyBar(QPainter& p, const QRect& bar, const QColor& base) {
    const QRectF r = QRectF(bar).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient body(r.left(), r.top(), r.left(), r.bottom());
    body.setColorAt(0.0, base.lighter(140));
    body.setColorAt(0.48, base.lighter(115));
    body.setColorAt(0.52, base);
    body.setColorAt(0.85, base.darker(112));
    body.setColorAt(1.0, base.darker(104));
    p.setPen(QPen(base.darker(160), 1));
    p.setBrush(body);
    p.drawRoundedRect(r, kButtonRadius, kButtonRadius);

    const QRectF glossRect(r.left() + 3, r.top() + 2, r.width() - 6, r.height() * 0.46);
    QLinearGradient gloss(glossRect.left(), glossRect.top(), glossRect.left(), glossRect.bottom());
    gloss.setColorAt(0, QColor(255, 255, 255, 150));
    gloss.setColorAt(1, QColor(255, 255, 255, 30));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawRoundedRect(glossRect, kButtonRadius - 3, kButtonRadius - 3);
}

// ---------------------------------------------------------------------------------------------
// Skin parts

void drawBanner(QPainter& p) {
    fillVertical(p, kBanner, colour::kBannerTop, colour::kBannerBottom);
    p.save();
    p.setClipRect(kBanner);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 16));
    p.drawEllipse(QPointF(700, -40), 120, 120);
    p.drawEllipse(QPointF(800, 60), 90, 90);
    p.restore();
    p.fillRect(QRect(kBanner.left(), kBanner.top(), kBanner.width(), 1), QColor(255, 255, 255, 70));
    p.fillRect(QRect(kBanner.left(), kBanner.bottom(), kBanner.width(), 1),
               colour::kBannerBottom.darker(130));

    drawBadge(p, kBannerLogo);
    QFont title = uiFont(kBannerTitlePx, true);
    title.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    const QRect titleBox(kBannerTitleX, kBanner.top(), kBanner.right() - kBannerTitleX,
                         kBanner.height());
    drawText(p, titleBox, Qt::AlignLeft | Qt::AlignVCenter, utf8(kTitle), title, Qt::white, true);
}

void drawFooter(QPainter& p) {
    fillVertical(p, kFooter, colour::kFooterTop, colour::kFooterBottom);
    p.fillRect(kFooterEdge, colour::kFooterBottom.darker(130));
    drawText(p, kFooter, Qt::AlignCenter, utf8(kFooterText), uiFont(kFooterPx), Qt::white);
}

void drawPanel(QPainter& p, const Panel& panel, const QString& caption) {
    dropShadow(p, panel.outer());
    p.fillRect(panel.outer(), colour::kBorder);
    p.fillRect(panel.innerLine(), colour::kInnerLine);
    p.fillRect(panel.interior(), colour::kWhite);
    fillVertical(p, panel.caption(), colour::kBorder, colour::kCaptionEnd);
    drawText(p, panel.caption(), Qt::AlignCenter, caption, uiFont(kCaptionPx, true), Qt::white,
             true);
}

void drawPrompt(QPainter& p, const QRect& area, const QString& text) {
    const QFont font = uiFont(kPromptPx, true);
    const int textHeight =
        QFontMetrics(font).boundingRect(area, Qt::AlignHCenter | Qt::AlignTop, text).height();
    const int mark = kPlaceholderSize;
    const int top = area.top() + (area.height() - (mark + kPromptGap + textHeight)) / 2;
    drawPlaceholder(p, QRectF(area.center().x() + 1 - mark / 2, top, mark, mark));
    drawText(p, QRect(area.left(), top + mark + kPromptGap, area.width(), textHeight),
             Qt::AlignHCenter | Qt::AlignTop, text, font, colour::kText);
}

void drawReason(QPainter& p, const QRect& area, const QString& reason) {
    const QRect box =
        area.adjusted(kResultPadding, kResultPadding, -kResultPadding, -kResultPadding);
    const auto doc =
        richText({u'{' + reason + u'}'}, uiFont(kReasonPx), box.width(), kReasonLineHeight, false);
    const QFont labelFont = uiFont(kReasonLabelPx, true);
    const int labelHeight = textSize(labelFont, utf8(kReasonLabel)).height();
    const int height = kMarkSize + kReasonMarkGap + labelHeight + kReasonLabelGap +
                       int(std::ceil(doc->size().height()));
    requireFits(reason, {qreal(box.width()), qreal(kReasonTop + height)}, box.size());

    const int top = box.top() + kReasonTop;
    drawWarningMark(p, QRectF(area.center().x() + 1 - kMarkSize / 2, top, kMarkSize, kMarkSize));
    const int labelTop = top + kMarkSize + kReasonMarkGap;
    drawText(p, QRect(box.left(), labelTop, box.width(), labelHeight), Qt::AlignLeft | Qt::AlignTop,
             utf8(kReasonLabel), labelFont, colour::kText);
    drawDocument(p, *doc, QPointF(box.left(), labelTop + labelHeight + kReasonLabelGap));
}

void drawButtonColumn(QPainter& p) {
    const QRect card = kButtonColumn.adjusted(-1, -1, 1, 1);
    dropShadow(p, card);
    p.fillRect(kButtonColumn, colour::kWhite);
    outline(p, card, colour::kCardEdge);
}

void drawGuide(QPainter& p) {
    const QFont headingFont = uiFont(kGuideHeadingPx, true);
    const QSize headingSize = textSize(headingFont, utf8(kGuideHeading));
    const QRect heading(QPoint(kSeparatorLeft, kSeparatorY - headingSize.height() / 2),
                        headingSize);
    drawText(p, heading, Qt::AlignLeft | Qt::AlignVCenter, utf8(kGuideHeading), headingFont,
             colour::kHeading);

    QPen dashes(colour::kSeparator, 1);
    dashes.setDashPattern({4, 3});
    p.setPen(dashes);
    const qreal y = kSeparatorY + 0.5;  // centre of the pixel row: a crisp one-pixel line
    p.drawLine(QPointF(heading.right() + 10, y), QPointF(kSeparatorRight, y));

    QStringList paragraphs;
    for (const char* paragraph : kGuide) paragraphs << utf8(paragraph);
    const auto doc =
        richText(paragraphs, uiFont(kGuidePx), kGuideBox.width(), kGuideLineHeight, true);
    requireFits(paragraphs.join(u'\n'), doc->size(), kGuideBox.size());
    drawDocument(p, *doc, kGuideBox.topLeft());
}

void drawGlyph(QPainter& p, Glyph glyph, const QRectF& box) {
    UnitBox units(p, box);
    switch (glyph) {
        case Glyph::Folder:
            drawFolder(p);
            break;
        case Glyph::Floppy:
            drawFloppy(p);
            break;
        case Glyph::Runner:
            drawRunner(p);
            break;
    }
}

// An image of `size` window units at `scale`: its pixels are device pixels, and a painter on
// it draws in window units.
QImage canvas(const QSize& size, double scale, QImage::Format format) {
    QImage image(layout::ToDevicePixels(size.width(), scale),
                 layout::ToDevicePixels(size.height(), scale), format);
    image.setDevicePixelRatio(scale);
    return image;
}

}  // namespace

QImage renderSkin(const SkinContent& skin, double scale) {
    QImage image = canvas(kSkinSize, scale, QImage::Format_RGB32);
    image.fill(colour::kBody);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                     QPainter::SmoothPixmapTransform);

    drawBanner(p);
    for (const QRect& line : kSideLines) p.fillRect(line, colour::kBorder);

    drawPanel(p, kSamplePanel, utf8(kSampleCaption));
    drawSamplePortrait(p, kSamplePanel.interior());

    drawPanel(p, kResultPanel, utf8(skin.caption));
    switch (skin.content) {
        case FrameContent::Prompt:
            drawPrompt(p, kResultPanel.interior(), utf8(skin.text));
            break;
        case FrameContent::Empty:
            break;
        case FrameContent::Reason:
            drawReason(p, kResultPanel.interior(), utf8(skin.text));
            break;
    }

    drawButtonColumn(p);
    drawGuide(p);
    drawFooter(p);
    p.end();
    return image.convertToFormat(QImage::Format_RGB888);
}

QImage renderButton(const ButtonLook& button, double scale) {
    QImage image = canvas(button.size, scale, QImage::Format_RGB32);
    image.fill(colour::kWhite);  // the button column's colour shows at the rounded corners
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);

    const QRect bar(QPoint((button.size.width() - kButtonSize.width()) / 2,
                           (button.size.height() - kButtonSize.height()) / 2),
                    kButtonSize);
    drawGlossyBar(p, bar, button.base);
    const int glyphSize = bar.height() - 2 * kButtonGlyphInset;
    const QRectF glyphBox(bar.left() + kButtonGlyphLeft, bar.top() + kButtonGlyphInset, glyphSize,
                          glyphSize);
    drawGlyph(p, button.glyph, glyphBox);
    const int labelLeft = int(glyphBox.right()) + kButtonLabelGap;
    const QRect labelBox(labelLeft, bar.top(), bar.right() - kButtonLabelRight - labelLeft,
                         bar.height());
    QFont label = uiFont(kButtonLabelPx, true);
    label.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    drawText(p, labelBox, Qt::AlignCenter, utf8(button.label), label, Qt::white, true);

    if (button.disabled) {
        // Washed out, lower contrast.
        p.fillRect(QRect(QPoint(), button.size), QColor(255, 255, 255, 110));
        p.end();
        image = image.convertToFormat(QImage::Format_Grayscale8);
    } else {
        p.end();
    }
    return image.convertToFormat(QImage::Format_RGB888);
}

QImage renderIcon(double scale) {
    QImage image = canvas({kIconSize, kIconSize}, scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing);
    drawBadge(p, QRectF(0, 0, kIconSize, kIconSize));
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

}  // namespace skingen
