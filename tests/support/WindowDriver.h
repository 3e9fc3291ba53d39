#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QStringList>

class QSocketNotifier;
class QWidget;

// Works a program's windows as a person does, one step per line of its standard input, and
// answers each step with one line on its standard output: "ok<TAB>what the widget shows" or
// "fail<TAB>why". A step is words separated by tabs:
//   type WIDGET TEXT           keys typed into the widget, which takes the focus
//   key WIDGET KEY             one key (Return, Space, Escape, Delete, Down, Up, End, Backspace)
//   click WIDGET [ROW]         a click on the widget, on its row showing ROW, or on its button
//   dclick WIDGET ROW          a double click on the row showing ROW
//   menu WIDGET ROW ENTRY      the context menu of that row, and its entry (submenus "A>B")
//   trigger ACTION             a tool bar action or a menu entry, by its text
//   tab WIDGET TITLE           the tab widget shows the page of that title
//   show WIDGET                answers what the widget shows
//   await WIDGET TEXT          waits until what the widget shows holds TEXT
//   absent WIDGET TEXT         waits until it no longer does
//   close WIDGET               closes the window
//   grab WIDGET FILE           saves a picture of the widget as it is drawn
// WIDGET is a path of object or class names, "a/b/c", each one found below the one before
// among the open windows, a visible one first; "name#2" is the third match. What a list shows
// is its rows that are not hidden, one a line, columns separated by " | ", two blanks of
// indentation for each level, each icon as a number in braces. Steps that open something modal
// answer before they act, so the next steps can work the dialog or menu that they open. A step
// waits up to a minute for the widget, row, tab or action that it needs.
class WindowDriver : public QObject
{
    Q_OBJECT

public:
    explicit WindowDriver(QObject* ip_parent = nullptr);

    // What the widget shows, as the "show" step answers it.
    static QString Shown(QWidget* ip_widget);

private:
    void OnInput();
    void Run(const QStringList& i_step);
    void Answer(bool i_ok, const QString& i_text);
    // What the step needs is not there yet: the step runs again a little later, until its time
    // is up, as a person waits for a window to open.
    void Retry(const QStringList& i_step, const QString& i_why);

    QSocketNotifier* mp_input;
    QByteArray m_pending;
    QDeadlineTimer m_stepDeadline;
    bool m_retrying = false;
};
