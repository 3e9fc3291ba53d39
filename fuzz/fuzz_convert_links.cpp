#include "FuzzChecks.h"
#include "GeneralFunctions.h"

#include <QRegularExpression>
#include <QString>

// Chat text from other users, as the chat views show it: escaped, then its addresses made links.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    const QString l_text =
        QString::fromUtf8(reinterpret_cast<const char*>(ip_data), qsizetype(i_size));
    ConvertLinks(l_text);

    // The escaped text holds no "<": every anchor in the result was added, and taking each
    // back out must give the escaped text again.
    const QString l_escaped = EscapeHTML(l_text);
    static const QRegularExpression anchor(QStringLiteral("<a href=\"([^\"<>]*)\">\\1</a>"));
    QString l_html = ConvertLinks(l_escaped);
    l_html.replace(anchor, QStringLiteral("\\1"));
    Require(l_html == l_escaped, "links add markup around the text and change nothing else");
    return 0;
}
