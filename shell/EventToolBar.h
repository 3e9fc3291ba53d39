#pragma once

#include <QSet>
#include <QString>
#include <QTimer>
#include <QToolBar>

#include <set>
#include <unordered_map>

// The bar of notices: one button per page with activity the user has not seen. Clicking a notice
// brings its page forward; while the main window is inactive, notices make the application icon
// blink until the focus moves. Hidden while it holds only its placeholder. One instance, the
// global eventToolBar, set by the constructor.
class EventToolBar : public QToolBar
{
    Q_OBJECT

public:
    explicit EventToolBar(QWidget* ip_parent = nullptr);
    ~EventToolBar() override;

    // Posts a notice for the page, unless it is visible or already has one.
    void AddEvent(QString i_text, QString i_icon, QWidget* ip_widget);
    // Withdraws the page's notice, if it has one.
    void RemoveEvent(QWidget* ip_widget);

public slots:
    void OnActionTriggered();
    void OnWidgetDestroyed(QObject* ip_object);
    void OnIconAlertTimeout();
    void OnApplicationFocusChanged(QWidget* ip_old, QWidget* ip_now);

protected:
    void resizeEvent(QResizeEvent* ip_event) override;

private:
    // Each notice shown whole when the bar has room for it, else its start and "…"; the tool tip
    // holds the whole text.
    void FitNotices();
    // Withdraws the notice of the widget at the address, if it has one.
    void RemoveNotice(const void* ip_widget);
    void RemoveAction(QAction* ip_action);
    // A pointer as the store keeps it: unsigned decimal text.
    static QString AddressText(const void* ip_pointer);

    // A notice's whole text, its width in the bar's font and the width it was last cut to (its
    // whole width when shown whole).
    struct Notice
    {
        QString m_text;
        int m_width;
        int m_cut;
    };
    std::unordered_map<QAction*, Notice> m_notices;
    bool m_placeholder = true;
    std::set<QString> m_blinkIcons;
    int m_blinkPosition = 0;
    QTimer m_blinkTimer;
};

extern EventToolBar* eventToolBar;
