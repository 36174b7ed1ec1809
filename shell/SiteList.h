#pragma once

#include <QString>
#include <QStringList>

class QComboBox;

// The SiTE NAME box's items: each site's name as it is shown (what would hide, reorder or break it escaped), with the
// site's own name as the item's data. Every handler goes by the data, so a name that shows escaped is still the site
// it names.
namespace SiteList {

void fill(QComboBox* box, const QStringList& names);
// The chosen site's own name; empty when none is chosen.
QString chosen(const QComboBox* box);
// The item of the site of this name, -1 for none: exactly, or as the store tells names apart (anyCase).
int find(const QComboBox* box, const QString& name, bool anyCase = false);

} // namespace SiteList
