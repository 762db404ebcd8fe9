// SIGTERM, SIGINT and SIGHUP as an ordinary event of the main loop.
//
// The handler only writes the signal number into a pipe (the one thing a handler may safely
// do); the main loop watches the pipe's read end and runs the program's orderly shutdown.
#pragma once

namespace qx {

// Installs the handlers once per process and returns the pipe's non-blocking read end (-1 on
// failure). Later calls return the same descriptor.
int InstallTerminationSignals();

// Reads what is pending on the pipe; returns the last signal number read, or 0.
int TakeTerminationSignal(int fd);

}  // namespace qx
