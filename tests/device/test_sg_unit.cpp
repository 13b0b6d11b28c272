// SPDX-License-Identifier: GPL-3.0-or-later
// The SG_IO unit, through an injected ioctl.

#include "device/linux/SgUnit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <unistd.h>
#include <vector>

using namespace kestova;

namespace {

struct Seen {
    sg_io_hdr_t hdr{};
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> dataAtCall;
    unsigned long request = 0;
    int calls = 0;
};

// An ioctl that records the header and answers with the given statuses;
// for reads it fills the first `fill` bytes with 0x5A.
SgUnit::IoctlFn Fake(Seen& seen, int result = 0, uint8_t status = 0, uint16_t host = 0,
                     uint16_t driver = 0, int fill = 0) {
    return [&seen, result, status, host, driver, fill](int, unsigned long req, void* arg) {
        auto* h = static_cast<sg_io_hdr_t*>(arg);
        seen.request = req;
        seen.hdr = *h;
        ++seen.calls;
        seen.cdb.assign(h->cmdp, h->cmdp + h->cmd_len);
        if (h->dxferp && h->dxfer_len) {
            auto* p = static_cast<uint8_t*>(h->dxferp);
            seen.dataAtCall.assign(p, p + h->dxfer_len);
            if (h->dxfer_direction == SG_DXFER_FROM_DEV) std::memset(p, 0x5A, size_t(fill));
        }
        h->status = status;
        h->masked_status = uint8_t(status >> 1);
        h->host_status = host;
        h->driver_status = driver;
        h->info = (status || host || driver) ? SG_INFO_CHECK : SG_INFO_OK;
        if (status == 0x02 && h->mx_sb_len >= 3) {
            h->sbp[0] = 0x70;
            h->sbp[2] = 0x05;  // ILLEGAL REQUEST
            h->sb_len_wr = 18;
        }
        return result;
    };
}

int NullFd() { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }

const uint8_t kCdb[16] = {0xCD, 0, 0, 0, 0, 0, 4, 0, 0, 0x80, 0x03, 0x10, 0, 0, 0, 0};

} // namespace

TEST(SgUnit, HeaderForEachDirection) {
    Seen seen;
    SgUnit unit(NullFd(), "/dev/sg9", Fake(seen, 0, 0, 0, 0, 100));

    // Device to host: buffer cleared before the call, then filled by the device.
    std::vector<uint8_t> buf(128, 0xEE);
    ASSERT_TRUE(unit.Execute(kCdb, buf.data(), 128, DataDirection::FromDevice, 750));
    EXPECT_EQ(seen.request, static_cast<unsigned long>(SG_IO));
    EXPECT_EQ(seen.hdr.interface_id, 'S');
    EXPECT_EQ(seen.hdr.cmd_len, 16);
    EXPECT_EQ(seen.cdb, std::vector<uint8_t>(kCdb, kCdb + 16));
    EXPECT_EQ(seen.hdr.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(seen.hdr.dxfer_len, 128u);
    EXPECT_EQ(seen.hdr.dxferp, buf.data());
    EXPECT_EQ(seen.hdr.timeout, 750u);
    EXPECT_GT(seen.hdr.mx_sb_len, 0);
    EXPECT_EQ(seen.dataAtCall, std::vector<uint8_t>(128, 0)) << "direction 2 clears the buffer first";
    EXPECT_EQ(buf[99], 0x5A);
    EXPECT_EQ(buf[100], 0x00) << "bytes the device did not send read as 0";

    // Host to device: the caller's bytes go out untouched.
    std::vector<uint8_t> out(64, 0x42);
    ASSERT_TRUE(unit.Execute(kCdb, out.data(), 64, DataDirection::ToDevice, 300000));
    EXPECT_EQ(seen.hdr.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(seen.hdr.dxfer_len, 64u);
    EXPECT_EQ(seen.dataAtCall, out);
    EXPECT_EQ(seen.hdr.timeout, 300000u);

    // No data phase.
    ASSERT_TRUE(unit.Execute(kCdb, nullptr, 0, DataDirection::None, 500));
    EXPECT_EQ(seen.hdr.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(seen.hdr.dxfer_len, 0u);
    EXPECT_EQ(seen.hdr.dxferp, nullptr);
    EXPECT_FALSE(unit.Execute(kCdb, out.data(), 4, DataDirection::None, 500)) << "length without a phase";
    EXPECT_EQ(seen.calls, 3);
}

TEST(SgUnit, OnlyAllGoodStatusesCountAsSuccess) {
    uint8_t buf[64];
    {
        Seen seen;
        SgUnit unit(NullFd(), "n", Fake(seen, 0, /*status=*/0x02));  // CHECK CONDITION
        EXPECT_FALSE(unit.Execute(kCdb, buf, 64, DataDirection::FromDevice, 500));
        ASSERT_GE(unit.LastSense().size(), 3u);
        EXPECT_EQ(uint8_t(unit.LastSense()[2]), 0x05);
    }
    {
        Seen seen;
        SgUnit unit(NullFd(), "n", Fake(seen, 0, 0, /*host=*/0x03));  // DID_TIME_OUT
        EXPECT_FALSE(unit.Execute(kCdb, buf, 64, DataDirection::FromDevice, 500));
    }
    {
        Seen seen;
        SgUnit unit(NullFd(), "n", Fake(seen, 0, 0, 0, /*driver=*/0x06));  // DRIVER_TIMEOUT
        EXPECT_FALSE(unit.Execute(kCdb, buf, 64, DataDirection::FromDevice, 500));
    }
    {
        Seen seen;
        SgUnit unit(NullFd(), "n", Fake(seen, -1));  // the ioctl itself failed
        EXPECT_FALSE(unit.Execute(kCdb, buf, 64, DataDirection::FromDevice, 500));
    }
}

TEST(SgUnit, ResultSaysHowACommandEndedAndHowMuchCame) {
    uint8_t buf[64];
    const struct {
        int result;
        uint8_t status;
        uint16_t host, driver;
        ScsiOutcome outcome;
        uint8_t senseKey;
    } cases[] = {
        {0, 0, 0, 0, ScsiOutcome::Good, 0},
        {0, 0x02, 0, 0x08, ScsiOutcome::CheckCondition, 0x05},  // with DRIVER_SENSE, as Linux reports it
        {0, 0x02, 0, 0, ScsiOutcome::CheckCondition, 0x05},
        {0, 0x08, 0, 0, ScsiOutcome::TransportError, 0},        // BUSY
        {0, 0, 0x03, 0, ScsiOutcome::TransportError, 0},        // DID_TIME_OUT
        {0, 0, 0, 0x06, ScsiOutcome::TransportError, 0},        // DRIVER_TIMEOUT
        {-1, 0, 0, 0, ScsiOutcome::SystemError, 0},
    };
    for (const auto& c : cases) {
        Seen seen;
        SgUnit unit(NullFd(), "n", Fake(seen, c.result, c.status, c.host, c.driver));
        const ScsiResult r = unit.Execute(kCdb, buf, 64, DataDirection::FromDevice, 500);
        EXPECT_EQ(r.outcome, c.outcome) << int(c.status) << " " << c.host << " " << c.driver;
        EXPECT_EQ(r.SenseKey(), c.senseKey);
    }
    // A read that came back short: GOOD, with the residual count, which the
    // link then counts as a failed read.
    SgUnit unit(NullFd(), "n", [](int, unsigned long, void* arg) {
        auto* h = static_cast<sg_io_hdr_t*>(arg);
        h->resid = 24;
        h->info = SG_INFO_OK;
        return 0;
    });
    const ScsiResult r = unit.Execute(kCdb, buf, 64, DataDirection::FromDevice, 500);
    EXPECT_TRUE(r.good());
    EXPECT_EQ(r.residual, 24);
    EXPECT_FALSE(r.Complete(DataDirection::FromDevice));
    EXPECT_TRUE(r.Complete(DataDirection::ToDevice));
    // A released unit refuses without calling the system.
    unit.Release();
    EXPECT_EQ(unit.Execute(kCdb, buf, 64, DataDirection::FromDevice, 500).outcome, ScsiOutcome::SystemError);
}

TEST(SgUnit, InquiryAndRelease) {
    Seen seen;
    SgUnit unit(NullFd(), "/dev/sg3", [&](int, unsigned long, void* arg) {
        auto* h = static_cast<sg_io_hdr_t*>(arg);
        ++seen.calls;
        seen.hdr = *h;
        seen.cdb.assign(h->cmdp, h->cmdp + h->cmd_len);
        auto* d = static_cast<uint8_t*>(h->dxferp);
        d[0] = 0x05;
        std::memcpy(d + 8, "NORVELTADPF Keychain    1.02", 28);
        h->info = SG_INFO_OK;
        return 0;
    });
    InquiryData id;
    ASSERT_TRUE(unit.Inquiry(id));
    EXPECT_EQ(seen.hdr.cmd_len, 6);
    EXPECT_EQ(seen.cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 36, 0}));
    EXPECT_EQ(seen.hdr.dxfer_len, 36u);
    EXPECT_EQ(id.peripheralType, 5);
    EXPECT_EQ(id.vendor, "NORVELTA");
    EXPECT_EQ(id.product, "DPF Keychain");
    EXPECT_EQ(id.revision, "1.02");

    unit.Release();
    EXPECT_FALSE(unit.Inquiry(id));
    EXPECT_EQ(seen.calls, 1) << "a released unit reaches nothing";
}

TEST(SgUnit, OpenExplainsWhyANodeCannotBeUsed) {
    std::string why;
    EXPECT_EQ(OpenSgUnit("/nonexistent/sg0", &why), nullptr);
    EXPECT_NE(why.find("/nonexistent/sg0"), std::string::npos);
    why.clear();
    EXPECT_EQ(OpenSgUnit("/dev/null", &why), nullptr);
    EXPECT_NE(why.find("not a SCSI pass-through node"), std::string::npos);
}
