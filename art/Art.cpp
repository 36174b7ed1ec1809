#include "Art.h"

#include <QtCore/qglobal.h>

// Q_INIT_RESOURCE declares the resource initialiser at the point of use, so this stays in the global namespace.
void initArtResources()
{
    Q_INIT_RESOURCE(art);
}
