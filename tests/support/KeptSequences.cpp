#include "KeptSequences.h"

using namespace Qt::StringLiterals;

QList<std::pair<const char*, QString>> KeptSequences()
{
    return {{"non-joiner between joining letters",
             u"\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645"_s},
            {"non-joiner across a transparent mark", u"\u0628\u064E\u200C\u064E\u0628"_s},
            {"joiners after a virama", u"\u0915\u094D\u200D\u0937 \u0915\u094D\u200C\u0937"_s},
            {"woman technologist", u"\U0001F469\u200D\U0001F4BB"_s},
            {"with a skin tone", u"\U0001F469\U0001F3FD\u200D\U0001F4BB"_s},
            {"heart on fire", u"\u2764\uFE0F\u200D\U0001F525"_s},
            {"emoji and text selectors", u"\u2764\uFE0F \u263A\uFE0E"_s},
            {"keycaps", u"#\uFE0F\u20E3*\uFE0F\u20E30\uFE0F\u20E39\uFE0F\u20E3"_s},
            {"flag of England",
             u"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F"_s},
            {"flag of Scotland",
             u"\U0001F3F4\U000E0067\U000E0062\U000E0073\U000E0063\U000E0074\U000E007F"_s},
            {"ideographic variation selectors", u"\u845B\U000E0100 \u845B\U000E01EF"_s},
            {"Mongolian selectors", u"\u1820\u180B\u1820\u180D\u1820\u180F"_s}};
}
