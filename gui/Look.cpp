#include "gui/Look.h"

#include <QApplication>
#include <QFont>
#include <QStyle>
#include <QStyleFactory>

void ApplyConsoleLook(QApplication& app)
{
    // One style and one set of fonts keep the fixed pixel layout. The colours are the desktop's, whole: a light or
    // dark theme gives every role of every control (its text and its ground alike), and a theme changed while the
    // console runs is followed too. Mixing a palette of our own with the theme's would leave some controls with
    // the theme's light text on our light ground.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    QApplication::setFont(font);

    // The page boxes read like a terminal: light text on near-black under any theme, as the daemon's tables were
    // drawn for; the selection is drawn in the same colours whatever the theme's highlight.
    app.setStyleSheet(QStringLiteral(
        "QPlainTextEdit#StatusMemo, QPlainTextEdit#InfoMemo, QPlainTextEdit#UserMemo, QPlainTextEdit#GroupMemo,"
        " QPlainTextEdit#FileMemo, QPlainTextEdit#NfoDizMemo {"
        " background: #10161c; color: #c9d4de; selection-background-color: #2b5f9e; selection-color: #ffffff; }"
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
