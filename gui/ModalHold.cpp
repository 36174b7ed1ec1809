#include "gui/ModalHold.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

TModalHold::TModalHold(const QWidget* free)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w != free)
            windows_ << w;
    qApp->installEventFilter(this);
}

TModalHold::~TModalHold()
{
    qApp->removeEventFilter(this);
}

bool TModalHold::held(const QObject* receiver) const
{
    if (!receiver || !receiver->isWidgetType())
        return false;
    const QWidget* window = static_cast<const QWidget*>(receiver)->window();
    for (const QPointer<QWidget>& w : windows_)
        if (w == window)
            return true;
    return false;
}

bool TModalHold::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::InputMethod:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    // Taken as if the focused box wanted the key, so that no shortcut fires; the key itself is then held too.
    case QEvent::ShortcutOverride:
        if (held(watched)) {
            event->accept();
            return true;
        }
        return false;
    case QEvent::Close:
        // Only the window system's close box is held; the console closing a window itself goes on.
        if (event->spontaneous() && held(watched)) {
            event->ignore();
            return true;
        }
        return false;
    default:
        return false;
    }
}
