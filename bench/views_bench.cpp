// Speed of the views over large data, one section per view: `views_bench SECTION` runs one, no
// argument runs them all, each in a process of its own so that each has a store of its own.
// Offscreen; each figure on a line, each aim as "aim: ...: met" or "...: not met".

#include "ViewsBench.h"

#include <QApplication>
#include <QProcess>

#include <cstdio>
#include <cstring>

namespace
{
struct Section
{
    const char* m_name;
    int (*m_run)();
};

constexpr Section g_sections[] = {
    {"browse", RunBrowseSection},
    {"room", RunRoomSection},
    {"chat", RunChatSection},
    {"userlist", RunUserListSection},
    {"inspectors", RunStoreBrowserSection},
    {"finished", RunFinishedSection},
    {"search", RunSearchSection},
    {"transfers", RunTransfersSection},
};
} // namespace

int main(int i_argc, char** ip_argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (i_argc > 1)
    {
        for (const Section& l_section : g_sections)
            if (std::strcmp(ip_argv[1], l_section.m_name) == 0)
            {
                QApplication l_application(i_argc, ip_argv);
                return l_section.m_run();
            }
        std::fprintf(stderr, "usage: views_bench "
                             "[browse|room|chat|userlist|inspectors|finished|search|transfers]\n");
        return 2;
    }
    int l_failures = 0;
    for (const Section& l_section : g_sections)
    {
        std::printf("== %s\n", l_section.m_name);
        std::fflush(stdout);
        QProcess l_child;
        l_child.setProcessChannelMode(QProcess::ForwardedChannels);
        l_child.start(QString::fromLocal8Bit(ip_argv[0]), {QString::fromLatin1(l_section.m_name)});
        if (!l_child.waitForFinished(-1) || l_child.exitStatus() != QProcess::NormalExit ||
            l_child.exitCode() != 0)
            ++l_failures;
    }
    return l_failures == 0 ? 0 : 1;
}
