#include "shell/ConsolePage.h"

#include "gui/WidgetKit.h"

#include <QComboBox>
#include <QFrame>
#include <QPlainTextEdit>
#include <QVBoxLayout>

TConsolePage::TConsolePage(const TPageContext& context, const char* name) : context_(context)
{
    setObjectName(QString::fromLatin1(name));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
}

QFrame* TConsolePage::addPanel(const char* name, int height, bool bevel)
{
    auto* panel = new QFrame(this);
    panel->setObjectName(QString::fromLatin1(name));
    panel->setFixedHeight(height);
    panel->setFrameStyle(bevel ? (QFrame::Panel | QFrame::Sunken) : QFrame::NoFrame);
    layout()->addWidget(panel);
    return panel;
}

QPlainTextEdit* TConsolePage::addMemo(const char* name)
{
    QPlainTextEdit* box = WidgetKit::memo(this, name);
    layout()->addWidget(box);
    return box;
}

void TConsolePage::replaceItems(QComboBox* box, const QStringList& items, bool sorted)
{
    // The text in the box stays what the operator typed; only the list changes.
    const QString text = box->currentText();
    const QSignalBlocker quiet(box);
    box->clear();
    box->addItems(items);
    if (sorted)
        box->model()->sort(0);
    box->setCurrentIndex(-1);
    box->setEditText(text);
}

void TConsolePage::removeFirstNoCase(QStringList& list, const QString& name)
{
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (list[i].compare(name, Qt::CaseInsensitive) == 0) {
            list.removeAt(i);
            return;
        }
    }
}
