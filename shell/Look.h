#pragma once

class QApplication;

// The console's look: one style and one set of fonts everywhere, whatever the desktop's theme, so that the
// fixed pixel layout of the windows holds.
void ApplyConsoleLook(QApplication& app);
