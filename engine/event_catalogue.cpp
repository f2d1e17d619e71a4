#include "engine/event_catalogue.h"

using namespace Qt::Literals::StringLiterals;

QString EventTypeName(int index)
{
    if (index < 0 || index >= EVENT_TYPE_COUNT)
        return u"未知"_s;
    return QString::fromUtf8(EVENT_CATALOGUE[static_cast<std::size_t>(index)].name);
}
