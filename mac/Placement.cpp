// SPDX-License-Identifier: GPL-3.0-or-later
// The window's side of placing a picture: the arrows controls and the
// suitable-size box hand their values to the crop tool, and the crop tool's
// signals come back to the controls and the views.

#include "mac/FrontEnd.h"

#include "mac/LittleArrows.h"
#include "mac/StageViews.h"

#include <QCheckBox>
#include <QMainWindow>
#include <QPainter>

namespace kestova::mac {

LittleArrows* FrontEnd::ArrowsControl(int which) const
{
    return which >= 0 && which < int(arrows.size()) ? arrows[std::size_t(which)] : nullptr;
}

void FrontEnd::RedrawStage()
{
    OnMain([this] {
        if (stageView)
            stageView->update();
        if (rectView)
            rectView->update();
    });
}

void FrontEnd::RedrawPreview()
{
    OnMain([this] {
        if (previewView)
            previewView->update();
    });
}

void FrontEnd::MyRotateArrowHandler()
{
    if (arrows[CropTool::RotationArrows])
        cropTool->RotateTo(arrows[CropTool::RotationArrows]->GetControl32BitValue());
}

void FrontEnd::MyTranslateArrowXHandler()
{
    if (arrows[CropTool::OffsetXArrows])
        cropTool->OffsetXTo(arrows[CropTool::OffsetXArrows]->GetControl32BitValue());
}

void FrontEnd::MyTranslateArrowYHandler()
{
    if (arrows[CropTool::OffsetYArrows])
        cropTool->OffsetYTo(arrows[CropTool::OffsetYArrows]->GetControl32BitValue());
}

void FrontEnd::MyScaleArrowXHandler()
{
    if (arrows[CropTool::ScaleArrows])
        cropTool->ScaleTo(arrows[CropTool::ScaleArrows]->GetControl32BitValue());
}

void FrontEnd::MySuitableSizeCheckBoxHandler()
{
    auto* box = gMainWindowRef ? gMainWindowRef->findChild<QCheckBox*>(QStringLiteral("suts_0")) : nullptr;
    cropTool->SetSuitableSize(box ? box->isChecked() : cropTool->SuitableSize());
}

void FrontEnd::MyPreviewEventHandler(QPainter& p)
{
    if (!previewView)
        return;
    // A thin frame marks the preview while it is empty.
    p.setPen(previewView->palette().color(QPalette::Mid));
    p.drawRect(previewView->rect().adjusted(0, 0, -1, -1));
    cropTool->DrawPreview(p, previewView->size());
}

} // namespace kestova::mac
