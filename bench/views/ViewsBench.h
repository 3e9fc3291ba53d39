#pragma once

#include <functional>

// The sections of views_bench, each run in a process of its own under a QApplication.
int RunBrowseSection();
int RunChatSection();
int RunFinishedSection();
int RunInspectorsSection();
int RunRoomSection();
int RunTransfersSection();
int RunUserListSection();

// The GUI thread's own processor time for the work, in milliseconds: the machine is shared, and
// other programs' work is not the view's.
double ThreadMilliseconds(const std::function<void()>& i_work);
// Prints the aim line of a figure that meets its aim when at most the limit.
void PrintAim(const char* ip_what, double i_figure, const char* ip_unit, double i_limit);
