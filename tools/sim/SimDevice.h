// pellomar-sim's model of the SCSI port driver and the controller firmware behind it: ports,
// their units (a primary and up to three secondary units), each unit's identify data, pending
// events, package transfers and injected faults. doc/simulator.md describes the behaviour.
//
// One SimDevice is shared by the transport workers, the control socket and the scenario
// thread; every member function is thread-safe (one mutex guards the whole model).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/DeviceCodes.h"

namespace sim {

using json = nlohmann::json;

constexpr int kMaxPorts = 64;  // port numbers 0 to 63 (the agent probes 0 to 14)
constexpr int kUnitsPerPort = 4;
constexpr size_t kKeptTransfers = 16;
constexpr size_t kKeptCommands = 16;

// The event-fetch control code of each unit: the primary, then secondary units 1 to 3.
constexpr uint32_t kEventCodeOfUnit[kUnitsPerPort] = {
    IOCTL_DTR_GET_INBAND_EVENT, IOCTL_DTR_GET_INBAND_EVENT_S1, IOCTL_DTR_GET_INBAND_EVENT_S2,
    IOCTL_DTR_GET_INBAND_EVENT_S3};

// Fields of the request block's header, as the simulated driver reads and answers them.
constexpr uint32_t kOffHeaderLength = 0;
constexpr uint32_t kOffSignature = 4;
constexpr uint32_t kOffTimeout = 12;  // seconds
constexpr uint32_t kOffControlCode = 16;
constexpr uint32_t kOffReturnCode = 20;
constexpr uint32_t kOffLength = 24;

// One event as a fetch delivers it.
using Event = std::array<uint8_t, 32>;

// In-band error codes the simulated firmware answers with (upper 16 bits of ReturnCode).
constexpr uint16_t kErrBadPage = 0x0010;    // identify page not supported
constexpr uint16_t kErrPage20 = 0x0014;     // page-20 query failed (page20_fails)
constexpr uint16_t kErrPkgLength = 0x0030;  // package length field, Length or size wrong
constexpr uint16_t kErrPkgCount = 0x0031;   // package count byte is not h - 2
constexpr uint16_t kErrPkgSub = 0x0032;     // command 150 with a bad sub-command
constexpr uint16_t kErrPkgMixed = 0x0033;   // a package of another transfer arrived
constexpr uint16_t kErrPkgShort = 0x0034;   // a package short of 3096 bytes not flagged last
constexpr uint16_t kErrPkgFlag = 0x0035;    // last-package flag neither 0 nor 1

// Errors of the driver (the transport's result field).
constexpr uint32_t kResultInvalid = 22;  // EINVAL: malformed block, unknown control code
constexpr uint32_t kResultNoUnit = 19;   // ENODEV: no unit at that address behind the port

struct Transfer {
    uint8_t cmd = 0;
    uint8_t sub = 0;  // command 150 only
    uint8_t arg = 0;  // command 150 sub-command 1 only
    uint64_t size = 0;
    uint32_t crc32 = 0;
    uint32_t packages = 0;
    // When the last package's answer went out; a transfer whose next package has not come
    // the idle time later was abandoned by its sender.
    std::chrono::steady_clock::time_point answeredAt{};
    bool complete = false;
    std::string error;  // why it was cut short, when it was
};

struct CommandRecord {
    uint8_t code = 0;
    uint8_t byte1 = 0;    // as received: count + 32 x unit
    uint32_t length = 0;  // the block's Length field
};

struct Fault {
    int id = 0;
    std::string kind;           // return-code, ioctl-fail, delay, close-no-reply, close-mid-reply
    int unit = -1;              // -1: every unit of the port
    int cmd = -1;               // -1: every command; else only in-band commands with this code
    std::string match = "any";  // any, inband, event
    uint32_t value = 0;         // error code, result or milliseconds
    int remaining = 0;          // calls left; 0: until cleared
};

struct Unit {
    std::array<uint8_t, 512> ident{};
    uint8_t page20 = 0;
    bool page20Fails = false;
    std::array<uint8_t, 7> info{};  // the answer data of command 168
    std::deque<Event> events;
    std::optional<Transfer> current;
    std::deque<Transfer> transfers;  // the last kKeptTransfers finished ones, oldest first
    std::deque<CommandRecord> commands;
    uint64_t inbandCalls = 0, eventFetches = 0, eventsDelivered = 0, packages = 0;
    // Scenario state: the step each story has reached.
    int diskStory = 0, fanStory = 0, tempStory = 0;
};

struct Port {
    std::array<std::optional<Unit>, kUnitsPerPort> units;
    std::vector<Fault> faults;
    bool refusing = false;  // the driver refuses connections
};

// What the transport does with one request.
struct Answer {
    uint32_t result = 0;  // 0: DeviceIoControl succeeds; else the error number
    uint32_t n2 = SRB_HEADER_SIZE;
    uint32_t delayMs = 0;
    enum class Close { None, NoReply, MidReply } close = Close::None;
};

// Port changes the transport must carry out (create, remove, refuse or resume a socket).
using PortListener = std::function<void(int port, bool exists, bool refusing)>;

class SimDevice {
  public:
    SimDevice();

    // Loads a configuration (see doc/simulator.md). False with the reason in *err.
    bool LoadConfig(const json& cfg, std::string* err);

    void SetPortListener(PortListener l);

    // Handles one request block of port `port` in place: `block` holds SRB_BUF_SIZE bytes, the
    // first n as received and zeros after them; the answer is written into it (ReturnCode at
    // offset 20, data from 28) and its length given in Answer::n2.
    Answer Handle(int port, uint8_t* block, uint32_t n);

    // One control request ({"cmd": ...}); returns the reply ({"ok": true, ...} or
    // {"ok": false, "error": ...}).
    json Control(const json& req);

    json Status();

    // Scenario: the time to the next step, and one step.
    bool ScenarioEnabled();
    uint32_t ScenarioNextDelayMs();
    void ScenarioStep();

    std::vector<int> PortNumbers();
    bool PortRefusing(int port);

  private:
    class ControlCall;  // one control request, carried out under the lock

    json StatusLocked();
    bool AddUnitLocked(int port, const json& u, std::string* err);
    void NotifyPort(int port, bool exists, bool refusing);
    Fault* MatchFault(Port& p, int unit, bool isEvent, int cmd);
    void HandleInband(Unit& u, uint8_t* block, uint32_t length, Answer& a);
    void HandlePackage(Unit& u, uint8_t* block, uint32_t length, Answer& a);
    void FinishTransfer(Unit& u, const std::string& error);

    std::mutex mu_;
    std::map<int, Port> ports_;
    PortListener listener_;
    int nextFaultId_ = 1;
    uint64_t calls_ = 0;
    size_t maxEvents_ = 1024;
    // A transfer left open this long after its last package's answer was abandoned (the agent
    // sends the next package as soon as the answer arrives).
    uint32_t transferIdleMs_ = 30000;
    bool scenarioOn_ = false;
    uint32_t scenarioMinMs_ = 20000, scenarioMaxMs_ = 60000;
    std::mt19937 rng_;
};

}  // namespace sim
