#pragma once

#include <QStatusBar>
#include <QString>

class QLabel;

// The status bar with its three panels: 1 the connection ("OFFLINE"/"ONLINE"), 2 never written, 3 the messages.
class TStatusBar : public QStatusBar {
public:
    explicit TStatusBar(QWidget* parent);
    QString panelText(int panel) const; // 1-based, as the panels are numbered
    void setPanelText(int panel, const QString& text);
    // What the console waits for, at the bar's right end beside the three panels ("Waiting for SITE WHO...").
    QString waitText() const;
    void setWaitText(const QString& text);

private:
    QLabel* panels_[3];
    QLabel* wait_;
};
