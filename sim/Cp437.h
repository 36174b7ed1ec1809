#pragma once

#include <QByteArray>
#include <QStringView>

namespace sim {

// The daemon talks to its clients in code page 437, the OEM set its tables and NFO art are drawn in. Our
// sources are UTF-8, so every drawn text goes through this mapping before it reaches the wire.
// Characters outside the code page come out as '?'.
QByteArray toCp437(QStringView text);

} // namespace sim
