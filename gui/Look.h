#pragma once

#include <QFont>

class QApplication;

// The console's look: one style and one set of fonts everywhere, whatever the desktop's theme, so that the
// fixed pixel layout of the windows holds; the colours are the desktop's (light or dark), but for the page boxes,
// which stay light on near-black.
void ApplyConsoleLook(QApplication& app);

// The fixed-pitch font of the text boxes that show the daemon's lines: it has the line-drawing set of code
// page 437, so the daemon's tables stand as drawn.
QFont ConsoleFont(int pixelSize = 12);
