#include "gui/Anchors.h"

#include <QEvent>

TAnchors::TAnchors(QWidget* parent, QSize designSize) : QObject(parent), parent_(parent), design_(designSize)
{
    parent->installEventFilter(this);
}

void TAnchors::place(QWidget* child, QRect rect, int edges)
{
    items_.push_back({child, rect, edges});
    layout();
}

bool TAnchors::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parent_ && event->type() == QEvent::Resize)
        layout();
    return false;
}

void TAnchors::layout()
{
    const int dw = parent_->width() - design_.width();
    const int dh = parent_->height() - design_.height();
    for (const Item& item : items_) {
        QRect r = item.rect;
        if (item.edges & Right) {
            if (item.edges & Left)
                r.setWidth(std::max(0, r.width() + dw));
            else
                r.moveLeft(r.left() + dw);
        }
        if (item.edges & Bottom) {
            if (item.edges & Top)
                r.setHeight(std::max(0, r.height() + dh));
            else
                r.moveTop(r.top() + dh);
        }
        item.child->setGeometry(r);
    }
}
