#include "WishListSearcher.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "Server.h"
#include "StoreFunctions.h"

#include <algorithm>
#include <limits>
#include <list>

WishListSearcher* wishListSearcher = nullptr;

namespace
{
void WishListLog(const QString& i_message)
{
    Log(QStringLiteral("Wish List"), 1, i_message);
}
} // namespace

WishListSearcher::WishListSearcher(QObject* ip_parent) : QObject(ip_parent)
{
    wishListSearcher = this;
    if (gp_server)
        connect(gp_server, &Server::WishListWait, this, &WishListSearcher::OnWishListWait);
    SetVolatileSetting("wish_list_search_index", 0);
    connect(&m_searchTimer, &QTimer::timeout, this, &WishListSearcher::OnSearchTimerTimeout);
}

WishListSearcher::~WishListSearcher()
{
    if (wishListSearcher == this)
        wishListSearcher = nullptr;
}

void WishListSearcher::OnWishListWait(uint i_waitPeriod)
{
    // A timer of no interval would search at every pass of the event loop.
    if (i_waitPeriod == 0)
    {
        WishListLog(QStringLiteral("Wish list wait period of 0 ignored"));
        return;
    }
    SetVolatileSetting("wish_list_wait", i_waitPeriod);
    m_searchTimer.stop();
    const int l_milliseconds = static_cast<int>(
        std::min<qint64>(qint64(i_waitPeriod) * 1000, std::numeric_limits<int>::max()));
    WishListLog(QStringLiteral("Wish list wait period set to %1 milliseconds").arg(l_milliseconds));
    m_searchTimer.setSingleShot(false);
    m_searchTimer.start(l_milliseconds);
}

void WishListSearcher::OnSearchTimerTimeout()
{
    const int l_index = VolatileSettingValue("wish_list_search_index").AsInt();
    const std::list<Item*> l_entries = d.GetType("wish_list_item_enabled")
                                           ->GetGlobalItem()
                                           .GetItems("wish_list_item")
                                           .SortAlphabetic(true);
    if (l_entries.empty())
        return;
    const std::size_t l_count = l_entries.size();
    const std::size_t l_position = l_index <= 0 ? 0 : std::size_t(l_index) % l_count;
    const std::string l_text = (*std::next(l_entries.begin(), long(l_position)))->Value();
    gp_server->FileSearch(l_text, true);
    WishListLog(QStringLiteral("Sent wish list search: %1").arg(LoggedText(FromUtf8(l_text))));
    const unsigned int l_next = static_cast<unsigned int>(l_index) + 1;
    SetVolatileSetting("wish_list_search_index", l_next < l_count ? l_next : 0u);
}
