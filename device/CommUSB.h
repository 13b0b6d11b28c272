// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The device link: the online flag, the one opened unit, and the single road
// by which a vendor command reaches the frame (SendCmdToDPF).
//
// Discovery and hot-plug (finding the frame among the machine's units and
// following it being plugged and pulled) are members of this class too; their
// declarations live in the "discovery" section below and their definitions in
// CommUSBDiscovery.cpp.

#include "device/Discovery.h"
#include "device/ScsiUnit.h"

#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestova {

class CCommUSB {
public:
    // Per-command timeout handed to the unit.
    static constexpr unsigned kDefaultTimeoutMs = 5000;

    CCommUSB();
    ~CCommUSB();
    CCommUSB(const CCommUSB&) = delete;
    CCommUSB& operator=(const CCommUSB&) = delete;

    // ---- command tunnel ----
    // Sends one finished CDB. Refuses (false, nothing sent) while offline.
    // `length` is the data phase's byte count; `direction` as DataDirection.
    // True only when the command completed with GOOD status and, for data
    // from the frame, every byte asked for came.
    bool SendCmdToDPF(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                      DataDirection direction);
    // The same with a timeout of its own for this command, capped at the
    // link's command timeout (a poll bounded in time gives each read only
    // the time it has left).
    bool SendCmdToDPF(const uint8_t cdb[16], uint8_t* buffer, int32_t length,
                      DataDirection direction, unsigned timeoutMs);
    bool GetUSBDeviceStatus() const;
    // How the last command that failed ended (sense data, residual count),
    // with its direction. False when none failed since the unit was attached
    // or since ClearLastFailure. Callers that report a failure clear it
    // before the work whose failure they will report.
    bool LastFailure(ScsiResult& result, DataDirection& direction) const;
    void ClearLastFailure();

    // Makes `unit` the open device and sets the link online (replacing and
    // releasing any unit held before). Used by discovery and by programs and
    // tests that attach a unit they opened themselves.
    void AttachUnit(std::unique_ptr<ScsiUnit> unit);
    // Releases the open unit (if any) and sets the link offline. Waits for a
    // command in flight to finish first.
    void DetachUnit();
    // Name of the open unit, empty when offline.
    std::string UnitName() const;

    void SetCommandTimeoutMs(unsigned ms) { timeoutMs_ = ms; }

    // ---- discovery (definitions in CommUSBDiscovery.cpp) ----
    // Finding the frame and following it being plugged and pulled.
    //
    //   link.SetVendorIdStr("norvelta");
    //   link.SetCandidateSources(...);   // the Linux scan, the virtual frame
    //   link.SetStatusHandler([](bool online) { ... });
    //   link.InitComm();                 // a frame already there is announced now
    //   loop: wait until HotplugFd() (when >= 0) is readable or
    //         HotplugTimeoutMs() (when >= 0) has passed, then HandleHotplug().
    //
    // The status handler runs on the thread that calls InitComm/HandleHotplug
    // (the program's event-loop thread), once per change of the online flag,
    // with no lock of the link held: it may send commands, or post the news to
    // another thread. Setters are meant for before InitComm.
    using StatusHandler = std::function<void(bool online)>;
    static constexpr int kPollIntervalMs = 1000;
    // After a loss the handler wants to run once more, soon, to scan.
    static constexpr int kFollowUpMs = 50;
    static constexpr const char* kDefaultVendorWord = "norvelta";

    // Text the INQUIRY vendor identification must contain (any letter case).
    void SetVendorIdStr(const std::string& word);
    // Text the product identification must contain; empty (any product).
    void SetProductIdStr(const std::string& word);
    // Name of a file at the root of the frame's own volume. When set, the
    // sources unmount a mounted volume holding it (the Linux scan: through
    // udisksctl) when a USB CD-ROM unit arrives, before the unit is opened;
    // failures are ignored.
    void SetKeyFileName(const std::string& name);
    void SetStatusHandler(StatusHandler handler);
    // Where candidates come from; a new set replaces the one before. The
    // link has no backend of its own: without sources it finds nothing, so
    // every program hands it the Linux scan (device/linux/LinuxDiscovery.h)
    // and, when --frame names one, the virtual frame
    // (device/virtual/VirtualFrameSource.h).
    void SetCandidateSources(std::vector<std::unique_ptr<CandidateSource>> sources);
    // Replaces the hot-plug monitor the sources would give (their
    // OpenMonitor); null means "poll".
    void SetHotplugMonitor(std::unique_ptr<HotplugMonitor> monitor);

    // Starts discovery: opens the hot-plug monitor (udev) and takes a frame
    // that is already present. Returns true when plug notices are delivered
    // through HotplugFd(); false means the link is polled instead (discovery
    // still works).
    bool InitComm();
    // File descriptor to watch for reading; -1 when there is none.
    int HotplugFd() const;
    // Milliseconds after which HandleHotplug must run even without a notice;
    // -1 when the descriptor alone is enough. Read it again after every
    // HandleHotplug: it can change (kFollowUpMs after a loss when the
    // monitor cannot wake the loop by itself).
    int HotplugTimeoutMs() const;
    // The hot-plug handler: drains pending notices, re-checks the open unit
    // (closing it and going offline when it no longer answers) and, when the
    // link was offline, scans and goes online when a frame is found.
    void HandleHotplug();
    // One scan while offline (no monitor needed). Returns the online flag.
    bool ScanForFrame();
    // True when the candidate is the frame. Opens and queries it; the frame
    // becomes the open unit when the link is offline, otherwise it is
    // released and the open unit stays. `reason` tells why it was refused.
    bool TestDevice(const UnitCandidate& candidate, std::string* reason = nullptr);
    // Standard INQUIRY of a unit.
    static bool GetDeviceInfo(ScsiUnit& unit, InquiryData& out);
    // Sets the online flag and tells the front-end. Going online needs an
    // open unit; going offline releases it.
    void SetUSBDeviceStatus(bool online);
    // What the link calls when a unit arrives / leaves; both lead to the
    // hot-plug handler, which decides in its own order.
    void DeviceAppeared() { HandleHotplug(); }
    void DeviceDisappeared() { HandleHotplug(); }
    // Identification of the open unit as it answered when it was taken
    // (empty when offline or attached without discovery).
    InquiryData DeviceInfo() const;
    // A frame that the last scan found held by another program or link (see
    // device/FrameInUse.h): nothing of it was read or written. `node` is empty
    // when none was seen. While one is seen HotplugTimeoutMs asks for a poll,
    // so the frame is taken soon after its holder lets it go.
    struct TakenFrame {
        std::string node;
        std::string holder;   // "mackestova (pid 4242)", or empty when unknown
        std::string message;  // "the frame is in use by mackestova (pid 4242)"
    };
    TakenFrame FrameInUse() const;
    // Unmounts mounted volumes that hold the key file; returns the count tried.
    int EjectMyDPF();
    // Opens, queries and releases every candidate without going online
    // (the open unit, if any, is reported as it is).
    std::vector<UnitReport> SurveyUnits();

private:
    bool IsFrameIdentity(const InquiryData& info, std::string* reason) const;
    std::unique_ptr<ScsiUnit> OpenIfFrame(const UnitCandidate& c, InquiryData& info,
                                          std::string* reason, TakenFrame* taken = nullptr);
    void NoteTaken(TakenFrame taken);
    bool TestDeviceLocked(const UnitCandidate& candidate, std::string* reason);
    bool ScanLocked();
    int UnmountVolumesLocked();
    std::vector<UnitCandidate> EnumerateAll();
    void QueueStatus(bool online);
    void FlushStatus();

    std::mutex discoveryMutex_;       // one scan or handler run at a time
    mutable std::mutex eventMutex_;   // guards pendingEvents_ and taken_
    std::vector<bool> pendingEvents_; // status changes not yet told
    bool reportedOnline_ = false;     // the last state told to the front-end
    std::string vendorWord_ = kDefaultVendorWord;
    std::string productWord_;
    std::string keyFile_;
    StatusHandler statusHandler_;
    std::vector<std::unique_ptr<CandidateSource>> sources_;
    std::unique_ptr<HotplugMonitor> monitor_;
    bool monitorInjected_ = false;
    bool started_ = false;
    std::atomic<bool> followUp_{false};  // a scan is due although no notice came
    UnitCandidate openCandidate_;     // where the open unit came from
    InquiryData openInfo_;            // and what it answered
    std::vector<std::string> seenNodes_;  // USB CD-ROM nodes seen by the last scan
    TakenFrame taken_;                // under eventMutex_
    std::atomic<bool> takenSeen_{false};


private:
    mutable std::mutex mutex_;  // serialises commands against closing the unit
    std::unique_ptr<ScsiUnit> unit_;
    // Atomic so that the online flag can be read while a command is in flight
    // (the flash layer polls it between status reads); written under mutex_.
    std::atomic<bool> online_{false};
    unsigned timeoutMs_ = kDefaultTimeoutMs;
    ScsiResult lastFailure_;              // under mutex_
    DataDirection lastFailureDirection_ = DataDirection::None;
    bool hasFailure_ = false;
};

} // namespace kestova
