#include "gui/WidgetKit.h"

#include "gui/Look.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace WidgetKit {

QLabel* label(QWidget* parent, const char* name, const QString& caption, QPoint at, bool bold)
{
    auto* l = new QLabel(caption, parent);
    l->setObjectName(QString::fromLatin1(name));
    if (bold) {
        QFont font = l->font();
        font.setBold(true);
        l->setFont(font);
    }
    l->setGeometry(QRect(at, l->sizeHint()));
    return l;
}

QLineEdit* edit(QWidget* parent, const char* name, QRect rect, const QString& text)
{
    auto* e = new QLineEdit(text, parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(rect);
    return e;
}

QComboBox* pickList(QWidget* parent, const char* name, QRect rect)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setEditable(false);
    box->setGeometry(rect);
    return box;
}

QComboBox* editableList(QWidget* parent, const char* name, QRect rect, int rows)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setCompleter(nullptr);
    box->setMaxVisibleItems(rows);
    box->setGeometry(rect);
    return box;
}

QPlainTextEdit* memo(QWidget* parent, const char* name)
{
    auto* box = new QPlainTextEdit(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setFont(ConsoleFont());
    box->setLineWrapMode(QPlainTextEdit::NoWrap);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setTabChangesFocus(true); // Tab moves on to the next control; the keys that scroll still scroll
    return box;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, QRect rect)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false); // Enter in a text box presses nothing
    b->setGeometry(rect);
    return b;
}

QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption, QRect rect)
{
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(rect);
    return box;
}

void fitWidth(QLabel* label, int width)
{
    QFont font = label->font();
    auto fits = [&] { return QFontMetrics(font).horizontalAdvance(label->text()) <= width; };
    while (!fits()) {
        if (font.pixelSize() > 7)
            font.setPixelSize(font.pixelSize() - 1);
        else if (font.pixelSize() <= 0 && font.pointSizeF() > 5.5)
            font.setPointSizeF(font.pointSizeF() - 0.5);
        else
            break;
    }
    label->setFont(font);
    label->resize(label->sizeHint());
}

void tabChain(std::initializer_list<QWidget*> widgets)
{
    QWidget* previous = nullptr;
    for (QWidget* w : widgets) {
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

namespace {

// A caption as read aloud: "&SAVE" is "SAVE", "&&" one "&".
QString withoutMnemonic(QString text)
{
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text[i] == QLatin1Char('&'))
            text.remove(i, 1); // the character after it stays, a second "&" included
    return text;
}

} // namespace

void nameControls(QWidget* window)
{
    for (QLabel* l : window->findChildren<QLabel*>())
        if (QWidget* buddy = l->buddy(); buddy && buddy->accessibleName().isEmpty())
            buddy->setAccessibleName(withoutMnemonic(l->text()));
    for (QComboBox* box : window->findChildren<QComboBox*>())
        if (QLineEdit* field = box->lineEdit(); field && field->accessibleName().isEmpty())
            field->setAccessibleName(box->accessibleName());
    for (QAbstractSpinBox* box : window->findChildren<QAbstractSpinBox*>())
        if (auto* field = box->findChild<QLineEdit*>(); field && field->accessibleName().isEmpty())
            field->setAccessibleName(box->accessibleName());
    // A view that takes the keys in its viewport (a chart) is read by the view's name there too.
    for (QAbstractScrollArea* area : window->findChildren<QAbstractScrollArea*>())
        if (QWidget* port = area->viewport();
            port && port->focusPolicy() != Qt::NoFocus && port->accessibleName().isEmpty())
            port->setAccessibleName(area->accessibleName());
}

void centreOnDesktop(QWidget* window)
{
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desk = screen->availableGeometry();
        window->move(desk.center() - QPoint(window->width() / 2, window->height() / 2));
    }
}

namespace {

// Watches a completion list's mouse presses for passClicksThroughCompletion.
class CompletionClicks : public QObject {
public:
    CompletionClicks(QComboBox* box, QObject* parent) : QObject(parent), box_(box) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::MouseButtonPress || !box_)
            return false;
        auto* popup = static_cast<QWidget*>(watched);
        const auto* press = static_cast<QMouseEvent*>(event);
        if (popup->rect().contains(press->position().toPoint()))
            return false; // a click in the list is the list's own
        const QPoint at = press->globalPosition().toPoint();
        QWidget* window = box_->window();
        for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
            if (b->isVisible() && b->isEnabled() && b->window() == window && b->rect().contains(b->mapFromGlobal(at))) {
                popup->hide();
                // Pressed once the list's own handling of this click is over, never inside it.
                QTimer::singleShot(0, b, [b] {
                    if (b->isVisible() && b->isEnabled())
                        b->click();
                });
                return true;
            }
        }
        return false;
    }

private:
    QPointer<QComboBox> box_;
};

} // namespace

void passClicksThroughCompletion(QComboBox* box)
{
    QAbstractItemView* popup = box->completer()->popup();
    popup->installEventFilter(new CompletionClicks(box, popup));
    // The press goes on to the button by our hand alone: no replay by the toolkit as well, which not every platform
    // does.
    popup->setAttribute(Qt::WA_NoMouseReplay);
}

} // namespace WidgetKit
