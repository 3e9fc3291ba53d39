#pragma once

#include "DataHandler.h"
#include "ItemPtr.h"
#include "LogSink.h"

#include <QHash>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <string>

class Item;
class QTextBrowser;
class Ui_DiagnosticsForm;

// The Diagnostics page: the users whose status the client tracks, online or not, and one log
// page per category, in the order of the categories' first lines. It is the receiver of Log from
// its construction on. A page shows its lines as text, never as markup or links (lines carry
// names and searches of other users, their direction controls shown as marks), and keeps only
// its newest lines. A line gets its page and its time stamp when it is logged; the lines of one
// turn of the event loop are appended to their pages together once the turn is over, so that a
// page's layout and signals follow once a turn rather than once a line. One instance, the global
// diagnosticsForm.
class DiagnosticsForm : public QWidget, public DataHandler, public LogSink
{
    Q_OBJECT

public:
    static constexpr int MaxLinesPerPage = 10000;

    explicit DiagnosticsForm(QWidget* ip_parent = nullptr);
    ~DiagnosticsForm() override;

    // Once the user types exist: the tracked-users list follows the store from here on. A second
    // call throws the store's TypeAlreadyExistsException (a pointer) and subscribes nothing.
    void Init();

    void Log(const QString& i_category, int i_level, const QString& i_message,
             ItemPtr i_item) override;
    void RegisterLoggableItemType(std::string i_type);

    // The lines of the category's page, oldest first, those of the current turn included; empty
    // when it has none.
    QStringList Lines(const QString& i_category);
    // The category's page, made empty when it has none yet: a notice about its lines leads there.
    QTextBrowser* Page(const QString& i_category);

    void OnUserTracked(Item* ip_user);
    void OnUserUntracked(Item* ip_user);
    void OnUserOnline(Item* ip_user);
    void OnUserOffline(Item* ip_user);

private:
    // Appends the lines waiting since the turn began to their pages.
    void AppendWaitingLines();
    void SetUserState(Item* ip_user, bool i_online);

    std::unique_ptr<Ui_DiagnosticsForm> mp_ui;
    bool m_initialised = false;
    // The lines of the current turn, by page, each list in logging order and no longer than a
    // page holds.
    QHash<QTextBrowser*, QStringList> m_waitingLines;
};

extern DiagnosticsForm* diagnosticsForm;
