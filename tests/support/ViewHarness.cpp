#include "ViewHarness.h"

#include "ActionSetToolBar.h"
#include "Clock.h"
#include "Data.h"
#include "EventToolBar.h"
#include "PeerHarness.h"
#include "SizeManager.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"
#include "UIFunctions.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMenu>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <set>
#include <string>

namespace
{
// URL schemes whose opening is captured; anything else a view opens would reach the desktop.
const char* const capturedSchemes[] = {"http", "https", "file", "ftp", "mailto"};

// Store types that survive Reset: the settings, which hold the login.
const std::set<std::string> keptTypes = {"global", "vglobal", "global_value"};

QString WithoutMarkers(QString i_text)
{
    // "&&" stands for "&"; a lone "&" marks the shortcut.
    QString l_result;
    l_result.reserve(i_text.size());
    for (qsizetype l_index = 0; l_index < i_text.size(); ++l_index)
    {
        if (i_text[l_index] == QLatin1Char('&'))
        {
            if (l_index + 1 < i_text.size() && i_text[l_index + 1] == QLatin1Char('&'))
                l_result += QLatin1Char('&');
            ++l_index;
            if (l_index < i_text.size() && i_text[l_index] != QLatin1Char('&'))
                l_result += i_text[l_index];
            continue;
        }
        l_result += i_text[l_index];
    }
    return l_result;
}
bool IsWithin(QWidget* ip_widget, QWidget* ip_owner)
{
    for (QWidget* lp_widget = ip_widget; lp_widget; lp_widget = lp_widget->parentWidget())
        if (lp_widget == ip_owner)
            return true;
    return false;
}
} // namespace

ViewHarness::ViewHarness()
    : mp_peers(std::make_unique<PeerHarness>(PeerHarness::Services::WholeClient)),
      m_now(StartTime())
{
    InitIconResources();
    for (const char* lp_scheme : capturedSchemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(lp_scheme), this, "OnOpenUrl");
    Clock::Set([this] { return m_now; });

    // The shell's own store types, as its start-up declares them.
    DeclareUserDataTypes();
    d.NewType("user_chat_widget", true, false, true);
    d["user"]->RelateToType("user_chat_widget", One, One, false);
    d.NewType("room_form", true, false, true);
    d["room"]->RelateToType("room_form", One, One, false);

    mp_sizes = std::make_unique<SizeManager>();
    mp_transfers = std::make_unique<TransferQueueManager>();
    mp_actions = std::make_unique<ActionSetToolBar>();
    mp_actions->Init();
    mp_events = std::make_unique<EventToolBar>();
}

ViewHarness::~ViewHarness()
{
    Reset();
    for (const char* lp_scheme : capturedSchemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(lp_scheme));
    Clock::Set({});
}

QList<QChar> ViewHarness::LineBreaks()
{
    return {QChar(0x000A), QChar(0x000B), QChar(0x000C), QChar(0x000D),
            QChar(0x001C), QChar(0x001D), QChar(0x001E), QChar(0x0085),
            QChar(0x2028), QChar(0x2029), QChar(0xFDD0), QChar(0xFDD1)};
}

void ViewHarness::AddLineBreakRows()
{
    QTest::addColumn<QChar>("lineBreak");
    for (const QChar l_break : LineBreaks())
        QTest::addRow("U+%04X", unsigned(l_break.unicode())) << l_break;
}

QString ViewHarness::BreakMark(QChar i_char)
{
    return QStringLiteral("<U+%1>").arg(i_char.unicode(), 4, 16, QLatin1Char('0')).toUpper();
}

QDateTime ViewHarness::StartTime()
{
    return QDateTime(QDate(2011, 5, 2), QTime(14, 5, 9));
}

void ViewHarness::Reset()
{
    // The tool bars' own pop-ups are top-level windows too, and theirs to delete.
    for (QWidget* lp_window : QApplication::topLevelWidgets())
        if (!IsWithin(lp_window, mp_actions.get()) && !IsWithin(lp_window, mp_events.get()) &&
            !m_kept.contains(lp_window))
            lp_window->deleteLater();
    Flush();
    mp_peers->ResetPeers();
    for (Item* lp_download : d.GetType("download_entry")->GetItems())
        mp_transfers->RemoveDownload(lp_download);
    for (Item* lp_upload : d.GetType("upload_entry")->GetItems())
        mp_transfers->RemoveUpload(lp_upload);
    Flush();
    for (Type* lp_type : std::vector<Type*>(d.Types()))
        if (!lp_type->IsRemoved() && !keptTypes.contains(lp_type->Name()))
            lp_type->RemoveAllItems();
    m_now = StartTime();
    m_openedUrls.clear();
}

void ViewHarness::Flush()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QStringList ViewHarness::Entries(const QMenu& i_menu)
{
    QStringList l_entries;
    for (QAction* lp_action : i_menu.actions())
        l_entries.append(lp_action->isSeparator() ? QStringLiteral("-")
                                                  : WithoutMarkers(lp_action->text()));
    return l_entries;
}

QAction* ViewHarness::Entry(const QMenu& i_menu, const QString& i_text)
{
    for (QAction* lp_action : i_menu.actions())
        if (!lp_action->isSeparator() && WithoutMarkers(lp_action->text()) == i_text)
            return lp_action;
    return nullptr;
}

bool ViewHarness::Trigger(const QMenu& i_menu, const QString& i_text)
{
    QAction* lp_action = Entry(i_menu, i_text);
    if (!lp_action || !lp_action->isEnabled())
        return false;
    lp_action->trigger();
    return true;
}

QStringList ViewHarness::RunContextMenu(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row,
                                        const QString& i_entry)
{
    QStringList l_entries{QStringLiteral("(none)")};
    QTimer::singleShot(0, ip_tree,
                       [&]
                       {
                           auto* lp_menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                           if (!lp_menu)
                               return;
                           l_entries = Entries(*lp_menu);
                           if (!i_entry.isEmpty())
                               Trigger(*lp_menu, i_entry);
                           lp_menu->close();
                       });
    const QPoint l_point =
        ip_row ? ip_tree->visualItemRect(ip_row).center() : QPoint(5, ip_tree->height() - 5);
    emit ip_tree->customContextMenuRequested(l_point);
    Flush();
    return l_entries;
}

QStringList ViewHarness::NoticeTexts()
{
    QStringList l_texts;
    for (QAction* lp_action : eventToolBar->actions())
        if (!lp_action->text().isEmpty())
            l_texts.append(lp_action->text());
    return l_texts;
}

QString ViewHarness::Snapshot(QWidget* ip_widget, const QString& i_name)
{
    const QString l_path =
        QDir::tempPath() + QStringLiteral("/view-") + i_name + QStringLiteral(".png");
    return ip_widget->grab().save(l_path) ? l_path : QString();
}

void ViewHarness::PrepareEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
    {
        static QTemporaryDir l_runtime;
        QFile::setPermissions(l_runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", l_runtime.path().toLocal8Bit());
    }
}

void ViewHarness::OnOpenUrl(const QUrl& i_url)
{
    m_openedUrls.append(i_url);
}
