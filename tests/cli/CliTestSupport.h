// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// kestova-cli end to end: the built program runs against a virtual frame
// that the test makes in its own folder, and the result is read back
// in-process the way a fresh program sees the frame.

#include "common/coder/Bmp.h"
#include "common/coder/Kv350Encoder.h"
#include "device/virtual/FrameImage.h"
#include "device/virtual/VirtualFrame.h"
#include "flash_manager/DPF.h"
#include "imaging/Preparation.h"
#include "tests/imaging/TestPictures.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace kestova {

using namespace kestova::testing;

struct CliRun {
    int code = -1;
    QString out, err;
};

class CliFrameTest : public ::testing::Test {
protected:
    QTemporaryDir dir;

    QString Path(const QString& name) const { return dir.filePath(name); }

    void MakeFrame(FrameImageLayout layout = {}) {
        frame = Path("frame.img");
        FormatFrameImage(frame.toStdString(), layout);
    }

    CliRun Cli(QStringList args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("KESTOVA_FRAME");
        p.setProcessEnvironment(env);
        args.prepend(frame);
        args.prepend("--frame");
        p.start(KESTOVA_CLI, args);
        p.closeWriteChannel();
        CliRun r;
        if (!p.waitForFinished(120000)) return r;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    // The album as a fresh program sees it on the frame image.
    std::unique_ptr<DPF> OpenAlbum() {
        auto link = std::make_unique<CCommUSB>();
        link->AttachUnit(VirtualFrame::Open(frame.toStdString()));
        auto dpf = std::make_unique<DPF>();
        dpf->Init(std::move(link));
        dpf->ReadDPFInfo();
        dpf->Read();
        return dpf;
    }

    int AlbumCount() {
        int n = 0;
        OpenAlbum()->GetFileNum(n);
        return n;
    }

    QImage AlbumPicture(DPF& dpf, int index) {
        uint32_t address = 0;
        int length = 0;
        if (!dpf.GetFileInfo(index, address, length)) return {};
        std::vector<uint8_t> bytes(static_cast<size_t>(length));
        int got = 0;
        if (!dpf.GetFileAtIndex(index, bytes.data(), length, got)) return {};
        int w = 0, h = 0;
        dpf.GetLCDParam(w, h);
        RgbImage rgb;
        if (!CKv350Encoder::Decode(bytes.data(), size_t(got), w, h, rgb)) return {};
        return FromRgbImage(rgb);
    }

    QString frame;
};

inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace kestova
