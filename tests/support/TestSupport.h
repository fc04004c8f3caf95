// Helpers shared by the tests: temporary folders, the in-process GUI server, files, polling,
// and child processes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/GuiClient.h"
#include "platform/Socket.h"
#ifndef _WIN32
#include "platform/posix/DesktopModule.h"
#endif

namespace testing_support {

// A fresh folder under the system's temporary directory, removed with its content at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Sets ServerDir to a fresh temporary folder for the life of the object.
class ServerDirScope {
  public:
    ServerDirScope();
    ~ServerDirScope();
    const std::string& path() const { return dir_.path(); }
    std::string File(const std::string& name) const { return dir_.File(name); }
    // The log's content so far ("" when there is none), with the host's CR LF line ends read
    // as LF.
    std::string Log() const;

  private:
    TempDir dir_;
};

// The in-process GUI server: started on the first call on a free loopback port, serving until
// the test program ends. Returns an endpoint for it.
gui::Endpoint TestServer();

std::string ReadFile(const std::string& path);
// The lines of `text`, without their line ends (LF or CR LF); a last line without one counts.
std::vector<std::string> SplitLines(const std::string& text);
bool WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// Polls `pred` every few milliseconds until it holds or `timeout` passes; returns the last result.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Two connected loopback TCP sockets: first the client end, second the server end.
std::pair<plat::Socket, plat::Socket> LoopbackPair();

// Sends all bytes on a socket; false when the connection broke.
bool SendAll(plat::SockFd s, const gui::Bytes& b);

// Reads until the peer closes or `timeoutMs` passes; *closed tells which.
gui::Bytes RecvUntilClose(plat::SockFd s, int timeoutMs, bool* closed);

// A child process with its standard output and error captured in files.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();  // kills the child (SIGKILL) if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the given arguments in `cwd` ("" = the test's). `env` entries
    // "NAME=value" are added; "NAME=" removes NAME. Returns false when it cannot start.
    bool Start(const std::vector<std::string>& argv, const std::string& cwd = "",
               const std::vector<std::string>& env = {});
    int pid() const { return pid_; }
    bool Running();
    // Sends a signal to the child.
    void Signal(int sig);
    // Waits at most `timeout` for the child to end; returns its exit code, or -1 when it is
    // still running, or 128 + signal when a signal ended it.
    int Wait(std::chrono::milliseconds timeout);
    std::string Stdout() const;
    std::string Stderr() const;

  private:
    int pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    TempDir out_;
};

// Runs a program to its end (at most `timeout`), capturing its output; returns the exit code.
int RunProgram(const std::vector<std::string>& argv, std::string* out, std::string* err,
               std::chrono::milliseconds timeout = std::chrono::seconds(60),
               const std::string& cwd = "");

// Paths of the built programs, of files in the source tree and in the build folder. Only
// TestSupport.cpp knows the folders, so that no other test's compile line carries them (a
// compiler cache then serves every clone of the tree).
std::string BinPath(const std::string& name);
std::string SourcePath(const std::string& relative);
std::string BuildPath(const std::string& relative);

#ifndef _WIN32
// The agent's desktop module (POSIX), built beside the programs: an agent shows its desktop only
// with the module beside it (give it to AgentProcess::Start as a companion).
constexpr const char* DESKTOP_MODULE = plat::deskmod::DESKTOP_MODULE_FILE;
#endif

// Machine-wide lock for tests that run a real agent: the agent listens on the fixed port 8922
// and holds a machine-wide single-instance lock, so only one such test may run at a time on the
// machine, whichever build or checkout it comes from. Blocks until the lock is had (at most
// `timeout`; then the test fails).
class AgentLock {
  public:
    explicit AgentLock(std::chrono::milliseconds timeout = std::chrono::minutes(10));
    ~AgentLock();
    AgentLock(const AgentLock&) = delete;
    AgentLock& operator=(const AgentLock&) = delete;

  private:
    int fd_ = -1;
};

// A real agent: the built executable copied alone into a fresh folder (its ServerDir) and
// started there, headless, with that folder as its current directory unless `cwd` is given.
// Holds the AgentLock for its whole life.
class AgentProcess {
  public:
    AgentProcess() = default;
    // Copies the executable (and `companions`, other built programs placed beside it), starts it
    // and waits until it answers an alive request on 8922. Returns false when it does not.
    bool Start(const std::vector<std::string>& companions = {}, const std::string& cwd = "",
               const std::vector<std::string>& env = {});
    const std::string& dir() const { return dir_.path(); }
    std::string Log() const { return ReadFile(dir_.File("ServerLog.txt")); }
    ChildProcess& process() { return proc_; }
    // SIGTERM, then the exit code (at most `timeout`).
    int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    AgentLock lock_;
    TempDir dir_;
    ChildProcess proc_;
};

// An endpoint for the real agent on 127.0.0.1:8922.
gui::Endpoint AgentEndpoint();

}  // namespace testing_support
