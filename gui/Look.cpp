#include "gui/Look.h"

#include <QApplication>
#include <QFont>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

void ApplyConsoleLook(QApplication& app)
{
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    QApplication::setFont(font);

    QPalette palette = QApplication::style()->standardPalette();
    palette.setColor(QPalette::Window, QColor(0xd8, 0xdc, 0xe2));
    palette.setColor(QPalette::Button, QColor(0xe4, 0xe7, 0xec));
    palette.setColor(QPalette::Highlight, QColor(0x2b, 0x5f, 0x9e));
    app.setPalette(palette);

    // The five page boxes read like a terminal: light text on near-black, as the daemon's tables were drawn for.
    app.setStyleSheet(QStringLiteral(
        "QPlainTextEdit#StatusMemo, QPlainTextEdit#InfoMemo, QPlainTextEdit#UserMemo, QPlainTextEdit#GroupMemo,"
        " QPlainTextEdit#FileMemo, QPlainTextEdit#NfoDizMemo {"
        " background: #10161c; color: #c9d4de; selection-background-color: #2b5f9e; }"
        "QStatusBar::item { border: none; }"
        // The buttons are drawn 75 pixels wide; their captions take a pixel less so that "GiVE CREDiT" fits whole.
        "QPushButton { font-size: 10px; }"));
}

QFont ConsoleFont(int pixelSize)
{
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(pixelSize);
    return font;
}
