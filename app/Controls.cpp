#include "Controls.h"

#include <QPainter>
#include <algorithm>

void TFitLabel::SetParts(const QString& name, const QString& rest, int room) {
    const QString whole = name + rest;
    if (text() != whole) setText(whole);
    const QFontMetrics fm(font());
    const int margins = sizeHint().width() - fm.horizontalAdvance(whole);
    const int avail = room - margins;
    QString shown = whole;
    if (fm.horizontalAdvance(whole) > avail) {
        const QString cut = fm.elidedText(name, Qt::ElideMiddle, avail - fm.horizontalAdvance(rest));
        // When not even a bit of the name fits, the whole text gives way.
        if (cut.size() > 1 && fm.horizontalAdvance(cut + rest) <= avail)
            shown = cut + rest;
        else
            shown = fm.elidedText(whole, Qt::ElideMiddle, avail);
    }
    const QString tip = shown == whole ? QString() : whole;
    if (toolTip() != tip) setToolTip(tip);
    if (shown != FShown) {
        FShown = shown;
        update();
    }
    const int w = std::min(sizeHint().width(), room);
    if (size() != QSize(w, sizeHint().height())) resize(w, sizeHint().height());
}

void TFitLabel::paintEvent(QPaintEvent* e) {
    if (FShown == text()) {
        QLabel::paintEvent(e);
        return;
    }
    QPainter p(this);
    p.setPen(palette().color(foregroundRole()));
    p.drawText(contentsRect(), static_cast<int>(alignment()), FShown);
}
