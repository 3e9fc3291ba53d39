#include "LogPage.h"

#include <QTextBrowser>
#include <QTextDocument>
#include <QTextOption>

void KeepLinesLeftToRight(QTextBrowser* ip_browser)
{
    // The document's option, not a block format: it holds for paragraphs appended later and
    // for a log read anew from its HTML.
    QTextDocument* lp_document = ip_browser->document();
    QTextOption l_option = lp_document->defaultTextOption();
    l_option.setTextDirection(Qt::LeftToRight);
    lp_document->setDefaultTextOption(l_option);
}

QTextBrowser* NewLogPage(QWidget* ip_parent)
{
    auto* lp_page = new QTextBrowser(ip_parent);
    lp_page->setOpenLinks(false);
    lp_page->setOpenExternalLinks(false);
    lp_page->document()->setUndoRedoEnabled(false);
    KeepLinesLeftToRight(lp_page);
    return lp_page;
}
