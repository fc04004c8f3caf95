// The TCP listener of the GUI server and its connection threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/Settings.h"
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

// The GUI port's settings ([gui] of pellomar.conf; the defaults until set). The listen address
// counts when the listener starts; the allow list, the per-source limit and the time-outs apply
// to every connection accepted after the call. Thread-safe.
void SetGuiPortSettings(const GuiPortSettings& settings);
GuiPortSettings GetGuiPortSettings();

// Why the listener or a transfer closed a connection before its request was served.
enum class GuiRefusal { NotAllowed = 0, PerSource = 1, TimedOut = 2 };
constexpr int GUI_REFUSED_REASONS = 3;
// Connections refused or closed for `reason` since the start. Thread-safe.
uint64_t GuiRefusedCount(GuiRefusal reason);

// A transfer on `sock` ran into its time-out (`sending`: the client took no reply byte; else it
// delivered no byte): counts it and writes the one log line of it.
void NoteGuiTimeout(plat::SockFd sock, bool sending);

// Connections accepted and handed to a thread since the start. Thread-safe.
uint64_t GuiConnServedTotal();

// Called once by the listener when its port listens (the port it is bound to), so that the
// program can tell the service manager it is ready. nullptr: none. Set it before the listener
// starts.
void SetGuiListeningHook(void (*hook)(uint16_t port));

// Listener thread entry: listens on GUI_SERVER_PORT at the settings' address (any local IPv4
// address by default) and serves every connection on a thread of its own. Connections from
// addresses the allow list leaves out, or beyond the per-source limit, are closed at once, before
// a thread is started, and logged at most once a minute per address with their count. While the
// port cannot be opened (another program holds it) the listener tries again every
// GUI_LISTEN_RETRY_MS, logging the first failure and then at most one a minute. Never returns.
void ThreadBuildGuiServer();

// The listener on `port` (0 = any free port). Once it listens, stores the bound port into
// *boundPort when given. Never returns. One listener per process.
[[noreturn]] void GuiServerListen(uint16_t port, std::atomic<uint16_t>* boundPort);

// Sets both lengths of the record to 0 and closes its socket unless a transfer has closed it.
void CloseGuiConn(GuiConn& conn);

// Lowers GuiConnCount by 1 and frees the connection's unit; the connection thread's last act,
// after EnableServerSerive has served and closed the connection.
void EndConnThread();
