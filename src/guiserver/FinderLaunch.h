// Launch of the discovery responder.
//
// The agent takes no part in discovery itself: at start-up it launches the responder program
// `EchoBack` (which lives beside the executable, in ServerDir) once, and never looks at it
// again: it neither waits for it, nor watches it, nor stops it when the agent ends.
#pragma once

// Logs "InitFinderServer.\n" and starts the finder thread (ThreadFinderSrv), detached; when the
// thread was created it logs "ThreadFinderSrv CloseHandle.\n". Returns at once, without waiting
// for the launch. A thread that cannot be created is not logged, and start-up goes on. Called
// once, by ServerStartUp, after ServerDir is set.
void InitFinderServer();

// The finder thread: waits one second, launches the responder with the one argument KELDRAN and
// logs "Finder (%d) :cmd.exe  /C java \n" with the launch result (above 32 on success; 32 or
// less on failure: 2 when the program is missing, 5 when it may not be executed). Nothing is
// retried and nothing else is reported. Reads only ServerDir.
void ThreadFinderSrv();
