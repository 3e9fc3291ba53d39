#include "Value.h"

Value::Value(QString const& i_text)
{
    QByteArray const l_utf8 = i_text.toUtf8();
    m_value.assign(l_utf8.constData(), qstrnlen(l_utf8.constData(), l_utf8.size()));
}
