#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QList>
#include <QString>

#include <functional>

// The tests' own judge of what a reader cannot tell apart: whether two texts draw the same,
// pixel for pixel, in a font. It knows nothing of Unicode's properties, which the program reads,
// so that a character the program lets through and that draws as nothing shows here.
class GlyphOracle
{
public:
    explicit GlyphOracle(const QFont& i_font);

    // Each code point c, of those that i_ask wants judged, for which i_before + c + i_after draws
    // exactly as i_before + i_after.
    QList<char32_t> DrawnAsNothing(const QString& i_before, const QString& i_after,
                                   const std::function<bool(char32_t)>& i_ask) const;

private:
    QImage Drawn(const QString& i_text) const;

    QFont m_font;
    QFontMetricsF m_metrics;
};
