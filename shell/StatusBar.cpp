#include "shell/StatusBar.h"

#include <QFrame>
#include <QLabel>

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent)
{
    setObjectName(QStringLiteral("StatusBar1"));
    setSizeGripEnabled(true);
    const int widths[3] = {60, 50, 0};
    for (int i = 0; i < 3; ++i) {
        auto* panel = new QLabel(this);
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i + 1));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setContentsMargins(3, 0, 3, 0);
        if (widths[i] > 0) {
            panel->setFixedWidth(widths[i]);
            panel->setAlignment(Qt::AlignCenter);
        } else {
            panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
            panel->setMinimumWidth(10);
        }
        addWidget(panel, widths[i] > 0 ? 0 : 1);
        panels_[i] = panel;
    }
    wait_ = new QLabel(this);
    wait_->setObjectName(QStringLiteral("StatusWait"));
    wait_->setContentsMargins(3, 0, 3, 0);
    addPermanentWidget(wait_);
}

QString TStatusBar::waitText() const
{
    return wait_->text();
}

void TStatusBar::setWaitText(const QString& text)
{
    wait_->setText(text);
}

QString TStatusBar::panelText(int panel) const
{
    return panels_[panel - 1]->text();
}

void TStatusBar::setPanelText(int panel, const QString& text)
{
    panels_[panel - 1]->setText(text);
}
