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

LittleArrows* FrontEnd::ArrowsControl(int arrows) const
{
    switch (arrows) {
    case CropTool::RotationArrows: return rotaArrows;
    case CropTool::ScaleArrows: return scalArrows;
    case CropTool::OffsetXArrows: return trnsXArrows;
    case CropTool::OffsetYArrows: return trnsYArrows;
    default: return nullptr;
    }
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
    if (rotaArrows)
        cropTool->RotateTo(rotaArrows->GetControl32BitValue());
}

void FrontEnd::MyTranslateArrowXHandler()
{
    if (trnsXArrows)
        cropTool->OffsetXTo(trnsXArrows->GetControl32BitValue());
}

void FrontEnd::MyTranslateArrowYHandler()
{
    if (trnsYArrows)
        cropTool->OffsetYTo(trnsYArrows->GetControl32BitValue());
}

void FrontEnd::MyScaleArrowXHandler()
{
    if (scalArrows)
        cropTool->ScaleTo(scalArrows->GetControl32BitValue());
}

void FrontEnd::MySuitableSizeCheckBoxHandler()
{
    auto* box = gMainWindowRef ? gMainWindowRef->findChild<QCheckBox*>(QStringLiteral("suts_0")) : nullptr;
    cropTool->SetSuitableSize(box ? box->isChecked() : gmySuitableSize);
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
