#include "LogPage.h"

#include <QFontMetricsF>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>

namespace
{
// Gives each paragraph from the one holding i_from to the one holding i_to a hanging indent.
void IndentContinuations(QTextDocument* ip_document, int i_from, int i_to, qreal i_indent)
{
    const QTextBlock l_last = ip_document->findBlock(i_to);
    for (QTextBlock l_block = ip_document->findBlock(i_from); l_block.isValid();
         l_block = l_block.next())
    {
        QTextBlockFormat l_format = l_block.blockFormat();
        if (l_format.leftMargin() != i_indent || l_format.textIndent() != -i_indent)
        {
            l_format.setLeftMargin(i_indent);
            l_format.setTextIndent(-i_indent);
            QTextCursor(l_block).setBlockFormat(l_format);
        }
        if (l_block == l_last)
            break;
    }
}
} // namespace

void LayOutLines(QTextBrowser* ip_browser)
{
    // The document's option, not a block format: it holds for paragraphs appended later and
    // for a log read anew from its HTML.
    QTextDocument* lp_document = ip_browser->document();
    QTextOption l_option = lp_document->defaultTextOption();
    l_option.setTextDirection(Qt::LeftToRight);
    lp_document->setDefaultTextOption(l_option);

    // The indent goes to every paragraph as it is added or changed, however it comes: plain
    // text, HTML, or a whole log read anew after a trim, whose written paragraphs may lack it.
    // A format set while the change is reported joins that change and reports nothing more.
    // Twice the line height sets a wrapped line clearly apart from a line's start.
    const qreal l_indent = qRound(2 * QFontMetricsF(lp_document->defaultFont()).height());
    IndentContinuations(lp_document, 0, lp_document->characterCount(), l_indent);
    QObject::connect(lp_document, &QTextDocument::contentsChange, lp_document,
                     [lp_document, l_indent](int i_from, int, int i_added)
                     { IndentContinuations(lp_document, i_from, i_from + i_added, l_indent); });
}

QTextBrowser* NewLogPage(QWidget* ip_parent)
{
    auto* lp_page = new QTextBrowser(ip_parent);
    lp_page->setOpenLinks(false);
    lp_page->setOpenExternalLinks(false);
    lp_page->document()->setUndoRedoEnabled(false);
    LayOutLines(lp_page);
    return lp_page;
}
