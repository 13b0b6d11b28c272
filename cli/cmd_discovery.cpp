// SPDX-License-Identifier: GPL-3.0-or-later
// Discovery commands: list (the frames found and the CD-ROM units that were
// not taken) and watch (one line per online / offline event).

#include "cli/cli_common.h"

#include "device/DeviceText.h"
#include "session/FrameLink.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>

namespace kestova::cli {

namespace {

const char* const kNoFrameHint =
    "plug the frame in, in its update mode, or name a virtual frame with --frame PATH";

const char* BusName(const UnitReport& r) { return r.isVirtual ? "virtual" : r.usb ? "usb" : "other"; }

std::string Identity(const UnitReport& r) {
    std::string id = r.vendor.empty() ? "?" : EscapeDeviceText(r.vendor);
    if (!r.product.empty()) id += " " + EscapeDeviceText(r.product);
    return id;
}

void PrintJson(const std::vector<UnitReport>& reports) {
    auto item = [](const UnitReport& r, bool withReason) {
        std::string s = "{\"node\": " + JsonString(r.node) + ", \"vendor\": " + JsonString(r.vendor) +
                        ", \"product\": " + JsonString(r.product) + ", \"revision\": " + JsonString(r.revision) +
                        ", \"bus\": " + JsonString(BusName(r));
        if (withReason) s += ", \"reason\": " + JsonString(r.reason);
        if (r.inUse) s += ", \"in_use\": true, \"holder\": " + JsonString(r.holder);
        return s + "}";
    };
    std::string frames, others;
    for (const auto& r : reports) {
        std::string& list = r.isFrame ? frames : others;
        if (!list.empty()) list += ",\n    ";
        list += item(r, !r.isFrame);
    }
    std::printf("{\n  \"frames\": [%s%s%s],\n  \"others\": [%s%s%s]\n}\n", frames.empty() ? "" : "\n    ",
                frames.c_str(), frames.empty() ? "" : "\n  ", others.empty() ? "" : "\n    ", others.c_str(),
                others.empty() ? "" : "\n  ");
}

void PrintText(const std::vector<UnitReport>& reports) {
    std::vector<const UnitReport*> frames, others;
    for (const auto& r : reports) (r.isFrame ? frames : others).push_back(&r);
    if (frames.empty()) {
        std::printf("Frames: none (%s)\n", kNoFrameHint);
    } else {
        std::printf("Frames:\n");
        for (const auto* r : frames)
            std::printf("  %-20s %-8s %s%s\n", r->node.c_str(), BusName(*r), Identity(*r).c_str(),
                        r->inUse ? (" (" + r->reason + ")").c_str() : "");
    }
    if (others.empty()) {
        std::printf("Other CD-ROM units: none\n");
    } else {
        std::printf("Other CD-ROM units (not taken):\n");
        for (const auto* r : others)
            std::printf("  %-20s %-8s %s: %s\n", r->node.c_str(), BusName(*r), Identity(*r).c_str(),
                        EscapeDeviceText(r->reason).c_str());
    }
}

volatile std::sig_atomic_t g_stop = 0;
extern "C" void OnStopSignal(int) { g_stop = 1; }

std::string Now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

void Watch(const CliContext& ctx) {
    CCommUSB link;
    link.SetVendorIdStr(CCommUSB::kDefaultVendorWord);
    link.SetCandidateSources(session::CandidateSourcesFor(session::FrameChoice(ctx.frameArg)));

    std::string onlineNode;
    link.SetStatusHandler([&](bool online) {
        if (online) {
            onlineNode = link.UnitName();
            InquiryData id = link.DeviceInfo();
            std::printf("%s online  %s %s %s\n", Now().c_str(), onlineNode.c_str(),
                        EscapeDeviceText(id.vendor).c_str(), EscapeDeviceText(id.product).c_str());
        } else {
            std::printf("%s offline %s\n", Now().c_str(), onlineNode.c_str());
            onlineNode.clear();
        }
        std::fflush(stdout);
    });

    // SIGINT / SIGTERM end the watch. They stay blocked except inside ppoll,
    // so a signal can never slip in between the check and the wait.
    sigset_t stopSignals, oldMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &oldMask);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    struct sigaction oldInt {}, oldTerm {};
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    g_stop = 0;

    const bool notified = link.InitComm();
    std::fprintf(stderr, "watching for frames (%s); Ctrl-C ends\n",
                 notified ? (link.HotplugTimeoutMs() < 0 ? "udev" : "udev, and the virtual frame every second")
                          : "polling every second");
    if (!link.GetUSBDeviceStatus()) std::fprintf(stderr, "no frame online yet: %s\n", kNoFrameHint);

    while (!g_stop) {
        pollfd p{link.HotplugFd(), POLLIN, 0};
        const int ms = link.HotplugTimeoutMs();
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        int r = ppoll(p.fd >= 0 ? &p : nullptr, p.fd >= 0 ? 1 : 0, ms >= 0 ? &ts : nullptr, &oldMask);
        if (r < 0) continue;  // EINTR: the loop condition decides
        link.HandleHotplug();
    }

    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
}

} // namespace

void RegisterDiscoveryCommands(CLI::App& app, CliContext& ctx) {
    auto* list = app.add_subcommand("list", "List the frames found and the CD-ROM units that were not taken");
    auto json = std::make_shared<bool>(false);
    list->add_flag("--json", *json, "Print JSON instead of text");
    list->callback([&ctx, json] {
        CCommUSB link;
        link.SetVendorIdStr(CCommUSB::kDefaultVendorWord);
        link.SetCandidateSources(session::CandidateSourcesFor(session::FrameChoice(ctx.frameArg)));
        auto reports = link.SurveyUnits();
        if (*json)
            PrintJson(reports);
        else
            PrintText(reports);
    });

    auto* watch = app.add_subcommand("watch", "Print one line each time a frame goes online or offline, until Ctrl-C");
    watch->callback([&ctx] { Watch(ctx); });
}

} // namespace kestova::cli
