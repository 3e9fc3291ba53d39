#include "GlyphOracle.h"

#include <QChar>
#include <QPainter>

namespace
{
QtMessageHandler gp_previousHandler = nullptr;

// A font without shaping tables for a script warns once per font and script, and the scan meets
// every script: those warnings say nothing about the texts.
void WithoutShapingWarnings(QtMsgType i_type, const QMessageLogContext& i_context,
                            const QString& i_message)
{
    if (!i_message.contains(QLatin1String("OpenType support missing")))
        gp_previousHandler(i_type, i_context, i_message);
}
} // namespace

GlyphOracle::GlyphOracle(const QFont& i_font) : m_font(i_font), m_metrics(i_font) {}

QImage GlyphOracle::Drawn(const QString& i_text) const
{
    // Room on every side for marks that reach beyond their letters.
    const int l_height = int(m_metrics.height()) * 3;
    QImage l_image(int(m_metrics.horizontalAdvance(i_text)) + l_height * 2, l_height,
                   QImage::Format_Grayscale8);
    l_image.fill(Qt::white);
    QPainter l_painter(&l_image);
    l_painter.setFont(m_font);
    l_painter.setPen(Qt::black);
    l_painter.drawText(QPointF(l_height, m_metrics.height() + m_metrics.ascent()), i_text);
    return l_image;
}

QList<char32_t> GlyphOracle::DrawnAsNothing(const QString& i_before, const QString& i_after,
                                            const std::function<bool(char32_t)>& i_ask) const
{
    const QString l_without = i_before + i_after;
    const qreal l_width = m_metrics.horizontalAdvance(l_without);
    const QImage l_drawn = Drawn(l_without);
    QList<char32_t> l_found;
    gp_previousHandler = qInstallMessageHandler(WithoutShapingWarnings);
    for (char32_t l_code = 0; l_code <= QChar::LastValidCodePoint; ++l_code)
    {
        if (QChar::isSurrogate(l_code) || !i_ask(l_code))
            continue;
        const QString l_with = i_before + QStringView(QChar::fromUcs4(l_code)).toString() + i_after;
        // Texts of other widths cannot draw alike: most differ there, at the cost of a layout.
        if (m_metrics.horizontalAdvance(l_with) == l_width && Drawn(l_with) == l_drawn)
            l_found.append(l_code);
    }
    qInstallMessageHandler(gp_previousHandler);
    return l_found;
}
