#include "StoreRowTexts.h"

#include "GeneralFunctions.h"
#include "Item.h"
#include "Type.h"

const QString unloadedRowText = QStringLiteral("~~unloaded~~");

QString ValueText(const Item* ip_item)
{
    return ShownText(FromUtf8(ip_item->Value()));
}

QString ConnectedRowText(const Item* ip_item)
{
    const Type* lp_type = ip_item->GetType();
    const QString l_name = QString::fromUtf8(lp_type->Name());
    if (lp_type->IsNull())
        return QStringLiteral("[") + l_name + QStringLiteral(", null]");
    return QStringLiteral("[") + l_name + QStringLiteral("] ") + ValueText(ip_item);
}
