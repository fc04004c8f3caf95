// The TCP listener of the GUI server and its connection threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "guiserver/GuiConn.h"

constexpr int MAX_GUI_CONN = 256;
// Stack of one connection thread: the record (about 76 KiB) and the handlers below it. Only the
// pages a thread touches take memory. Sanitizer builds need far more room per thread.
#ifndef PELLOMAR_CONN_STACK_KIB
#define PELLOMAR_CONN_STACK_KIB 512
#endif
constexpr size_t GUI_CONN_STACK_SIZE = size_t{PELLOMAR_CONN_STACK_KIB} * 1024;
// Pause between two failed attempts to open the listening socket (port taken, no network).
constexpr uint32_t GUI_LISTEN_RETRY_MS = 100;

// The number of live connection threads: raised by the listener for every accepted connection
// before its thread starts, lowered by EndConnThread. At most MAX_GUI_CONN.
extern std::atomic<int32_t> GuiConnCount;

// Listener thread entry: listens on GUI_SERVER_PORT, any local IPv4 address, and serves every
// connection on a thread of its own. Never returns.
void ThreadBuildGuiServer();

// The listener on `port` (0 = any free port). Once it listens, stores the bound port into
// *boundPort when given. Never returns. One listener per process.
[[noreturn]] void GuiServerListen(uint16_t port, std::atomic<uint16_t>* boundPort);

// Sets both lengths of the record to 0 and closes its socket unless a transfer has closed it.
void CloseGuiConn(GuiConn& conn);

// Lowers GuiConnCount by 1 and frees the connection's unit; the connection thread's last act.
void EndConnThread();
