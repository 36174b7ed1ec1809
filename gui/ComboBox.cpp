#include "gui/ComboBox.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>

TComboBox::TComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr); // the text stays as typed
    lineEdit()->installEventFilter(this);
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (!typingEnds_)
            emit itemChosen(index);
    });
}

bool TComboBox::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == lineEdit()) {
        const auto type = event->type();
        const bool enter = type == QEvent::KeyPress && (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Return ||
                                                        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Enter);
        if (type == QEvent::FocusOut || enter) {
            // The line edit ends the typing while this event is handled; an activation it brings is no pick.
            typingEnds_ = true;
            QTimer::singleShot(0, this, [this] { typingEnds_ = false; });
        }
    }
    return QComboBox::eventFilter(watched, event);
}

// The box forwards its keys and its focus to the line edit itself, past any event filter: the same guard here.
void TComboBox::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool was = typingEnds_;
    typingEnds_ = was || enter;
    QComboBox::keyPressEvent(event);
    typingEnds_ = was;
}

void TComboBox::focusOutEvent(QFocusEvent* event)
{
    const bool was = typingEnds_;
    typingEnds_ = true;
    QComboBox::focusOutEvent(event);
    typingEnds_ = was;
}
