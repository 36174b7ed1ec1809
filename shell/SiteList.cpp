#include "shell/SiteList.h"

#include "sitebook/SiteBook.h"

#include <QComboBox>

void SiteList::fill(QComboBox* box, const QStringList& names)
{
    box->clear();
    for (const QString& name : names)
        box->addItem(SiteBook::shownName(name), name);
}

QString SiteList::chosen(const QComboBox* box)
{
    return box->currentIndex() < 0 ? QString() : box->currentData().toString();
}

int SiteList::find(const QComboBox* box, const QString& name, bool anyCase)
{
    const std::string wanted = SiteBook::foldedKey(SiteBook::keyName(name));
    for (int i = 0; i < box->count(); ++i) {
        const QString own = box->itemData(i).toString();
        if (own == name || (anyCase && !wanted.empty() && SiteBook::foldedKey(SiteBook::keyName(own)) == wanted))
            return i;
    }
    return -1;
}
