#pragma once

#include <QObject>
#include <QTimer>

// Sends the enabled wish-list entries again, one per interval that the server prescribes, taking
// them in byte order of their text and starting over after the last.
class WishListSearcher : public QObject
{
    Q_OBJECT

public:
    explicit WishListSearcher(QObject* ip_parent = nullptr);
    ~WishListSearcher() override;

    // For tests: the timer of the searches.
    const QTimer& SearchTimer() const { return m_searchTimer; }

public slots:
    // The server's interval in seconds; the count of the next search starts again.
    void OnWishListWait(uint i_waitPeriod);
    void OnSearchTimerTimeout();

private:
    QTimer m_searchTimer;
};

extern WishListSearcher* wishListSearcher;
