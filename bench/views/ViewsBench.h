#pragma once

// The sections of views_bench, each run in a process of its own under a QApplication.
int RunBrowseSection();
int RunChatSection();
int RunInspectorsSection();
int RunRoomSection();
int RunUserListSection();
