// The program a user runs: the main window, its start-up and, when the event loop ends, its
// shut-down, which saves the data file.

#include "MainWindow.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace
{
int g_quitPipe[2] = {-1, -1};

// A session that ends asks programs to stop with SIGTERM: stop as when the window is closed, so
// that the data file is saved. Only the pipe write is safe inside the handler.
void OnQuitSignal(int)
{
    const char l_byte = 1;
    [[maybe_unused]] const ssize_t l_written = write(g_quitPipe[1], &l_byte, 1);
}

void QuitOnSignals(QApplication& i_application, MainWindow& i_window)
{
    if (pipe(g_quitPipe) != 0)
        return;
    auto* lp_notifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, &i_application);
    // The pipe is emptied, or the notifier fires for ever. A dialog of the start-up runs before
    // the application's own loop, which quit() alone does not reach: the window's Quit closes
    // the dialog and ends start-up, and the loop is not entered.
    QObject::connect(lp_notifier, &QSocketNotifier::activated, &i_window,
                     [&i_window]
                     {
                         char l_bytes[16];
                         [[maybe_unused]] const ssize_t l_read =
                             read(g_quitPipe[0], l_bytes, sizeof l_bytes);
                         i_window.Quit();
                     });
    struct sigaction l_action = {};
    l_action.sa_handler = OnQuitSignal;
    sigemptyset(&l_action.sa_mask);
    sigaction(SIGTERM, &l_action, nullptr);
    sigaction(SIGINT, &l_action, nullptr);
}
} // namespace

int main(int argc, char** argv)
{
    QApplication l_application(argc, argv);
    int l_result = 0;
    {
        // The window shows once Init has taken the data file. A client that finds its data file
        // in use by another one has said so, and ends.
        MainWindow l_window;
        QuitOnSignals(l_application, l_window);
        if (!l_window.Init())
            l_result = 1;
        else if (!l_window.QuitRequested())
            l_result = l_application.exec();
    }
    return l_result;
}
