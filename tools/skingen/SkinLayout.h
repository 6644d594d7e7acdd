#pragma once

// Everything the window pictures show, as data: sizes, rectangles, colours and texts.
// The drawing code (SkinPainter.cpp) reads only from here, so a change of wording or
// position is made in this file alone.
//
// Texts are UTF-8. In rich texts a part in braces, {like this}, is drawn in the alert red.

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <array>

#include "present/WindowLayout.h"

namespace skingen {

// ---------------------------------------------------------------------------------------------
// Fonts: Debian's fonts-noto-cjk, loaded from fixed files so that the output does not depend
// on which fonts happen to be installed.

inline constexpr std::array kFontFiles{
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Bold.ttc",
};
inline constexpr const char* kFontFamily = "Noto Sans CJK SC";

// ---------------------------------------------------------------------------------------------
// Colours

namespace colour {
inline constexpr QColor kWhite{255, 255, 255};
inline constexpr QColor kBody{238, 244, 250};       // background between the cards
inline constexpr QColor kCardEdge{204, 218, 233};   // hairline round the button column
inline constexpr QColor kBorder{14, 136, 219};      // panel borders, side lines, caption bars
inline constexpr QColor kCaptionEnd{9, 110, 186};   // bottom of the caption bar gradient
inline constexpr QColor kInnerLine{112, 190, 239};  // 1-px line round each photo frame
inline constexpr QColor kBannerTop{40, 150, 232};
inline constexpr QColor kBannerBottom{10, 98, 178};
inline constexpr QColor kFooterTop{20, 124, 206};
inline constexpr QColor kFooterBottom{8, 88, 160};
inline constexpr QColor kShadow{40, 60, 80, 22};  // one layer of the soft drop shadow
inline constexpr QColor kText{20, 20, 20};        // "black" body text
inline constexpr QColor kAlert{214, 0, 0};        // red parts of texts
inline constexpr QColor kHeading{14, 110, 190};   // the user guide's heading
inline constexpr QColor kSeparator{96, 146, 196};
inline constexpr QColor kPlaceholder{176, 214, 242};  // picture glyph of the idle result panel
}  // namespace colour

// ---------------------------------------------------------------------------------------------
// Skin geometry (800 x 600, shared by every state). Everything is in window units; a picture
// rendered at a scale maps each unit to that many pixels.

inline constexpr QSize kSkinSize{layout::kWindowWidth, layout::kWindowHeight};

inline constexpr QRect kBanner{0, 0, 800, 67};  // rows 0-66
inline constexpr QRect kBannerLogo{16, 8, 51, 51};
inline constexpr int kBannerTitleX = 84;
inline constexpr int kBannerTitlePx = 28;

inline constexpr QRect kFooter{0, 565, 800, 34};  // rows 565-598
inline constexpr QRect kFooterEdge{0, 599, 800, 1};
inline constexpr int kFooterPx = 13;

// Columns 1-3 and 796-798, between banner and footer.
inline constexpr std::array kSideLines{QRect{1, 67, 3, 498}, QRect{796, 67, 3, 498}};

// A panel is a photo frame in a blue border with a caption bar at its foot. Offsets are
// relative to the panel's top-left corner.
inline constexpr int kPanelBorderLeft = 5;
inline constexpr int kPanelBorderTop = 5;
inline constexpr int kPanelBorderRight = 4;
// Its left column and top row are inner line.
inline constexpr QSize kPhotoFrameSize{layout::kResultPhotoFrame.width,
                                       layout::kResultPhotoFrame.height};
inline constexpr int kCaptionHeight = 35;
inline constexpr int kCaptionPx = 17;
inline constexpr int kShadowDepth = 4;  // pixels of shadow right of and below a panel

struct Panel {
    QPoint origin;

    constexpr QRect outer() const {
        return {origin.x(), origin.y(),
                kPanelBorderLeft + kPhotoFrameSize.width() + 1 + kPanelBorderRight,
                kPanelBorderTop + kPhotoFrameSize.height() + 1 + kCaptionHeight};
    }
    constexpr QRect frame() const {
        return {origin + QPoint{kPanelBorderLeft, kPanelBorderTop}, kPhotoFrameSize};
    }
    // The light inner line: the frame's left column and top row, and the column and row
    // just right of and below it.
    constexpr QRect innerLine() const { return frame().adjusted(0, 0, 1, 1); }
    // White inside the inner line: what a picture in the frame may use freely.
    constexpr QRect interior() const { return frame().adjusted(1, 1, 0, 0); }
    constexpr QRect caption() const {
        const QRect o = outer();
        return {o.left(), o.bottom() - kCaptionHeight + 1, o.width(), kCaptionHeight};
    }
};

inline constexpr Panel kSamplePanel{{65, 78}};   // columns 65-251, rows 78-346
// Columns 275-461, rows 78-346: the window draws the photo into its frame.
inline constexpr Panel kResultPanel{{layout::kResultPhotoFrame.x - kPanelBorderLeft,
                                     layout::kResultPhotoFrame.y - kPanelBorderTop}};

// The window puts its three buttons (layout::kOpenButton ...) here, so the skins leave it plain
// white.
inline constexpr QRect kButtonColumn{470, 90, 320, 245};  // columns 470-789, rows 90-334
inline constexpr QSize kButtonSize{layout::kButtonWidth, layout::kButtonHeight};

inline constexpr int kSeparatorY = 365;
inline constexpr int kSeparatorLeft = 22;
inline constexpr int kSeparatorRight = 778;
inline constexpr int kGuideHeadingPx = 15;
inline constexpr QRect kGuideBox{30, 381, 740, 180};
inline constexpr int kGuidePx = 14;
inline constexpr int kGuideLineHeight = 140;  // percent

// Result panel contents
inline constexpr int kResultPadding = 12;
inline constexpr int kPromptPx = 26;
inline constexpr int kPlaceholderSize = 56;  // picture mark above the prompt
inline constexpr int kPromptGap = 18;        // between that mark and the prompt
inline constexpr int kReasonLabelPx = 17;
inline constexpr int kReasonPx = 15;
inline constexpr int kReasonLineHeight = 120;  // percent
inline constexpr int kMarkSize = 40;           // the warning mark above a reason
inline constexpr int kReasonMarkGap = 14;      // below the warning mark
inline constexpr int kReasonLabelGap = 4;      // below the reason label
inline constexpr int kReasonTop = 10;  // from the padded frame's top: the same in every state

// ---------------------------------------------------------------------------------------------
// Skin texts

inline constexpr const char* kTitle = "网上报名系统照片处理工具";
inline constexpr const char* kSampleCaption = "标准证件照样例";
inline constexpr const char* kFooterText =
    "操作步骤：打开照片 → 查看处理结果 → 保存照片 → 登录网上报名系统上传";
inline constexpr const char* kGuideHeading = "使用说明";
inline constexpr std::array kGuide{
    "网上报名系统{只接受经本工具处理并符合要求的照片}，未经处理的照片无法上传。",
    "原始照片要求：背景为{纯红色、蓝色或白色}，近期正面免冠证件照；文件格式为{JPG或JPEG}，"
    "文件大小{不小于30K}，像素尺寸{不小于215×300}；照片清晰，{未经缩放处理}。",
    "点击“打开照片”选择原始照片，处理结果显示在中间的结果显示区；显示“符合要求”后，"
    "点击“保存照片”保存处理后的照片，报名时请上传保存后的照片。",
    "照片质量由考生本人负责，{因照片不合格造成的后果由考生自行承担}。",
};
inline constexpr const char* kReasonLabel = "原因：";

enum class FrameContent {
    Prompt,  // large black text: the frame is waiting for a photo
    Empty,   // plain white; the window draws the photo into it
    Reason,  // the reason label, then the reason in red
};

struct SkinContent {
    const char* fileName;
    FrameContent content;
    const char* text;  // prompt or reason; lines of a prompt are split at '\n'
    const char* caption;
};

// One skin per verdict, in the order of the verdict codes (Idle = 0 ... BadSize = 6).
inline constexpr std::array kSkins{
    SkinContent{layout::kSkinFiles[0], FrameContent::Prompt, "照片处理\n结果显示区",
             "处理结果提示"},
    SkinContent{layout::kSkinFiles[1], FrameContent::Empty, "", "符合要求"},
    SkinContent{layout::kSkinFiles[2], FrameContent::Reason,
             "打开的照片文件背景不符合要求，请选择红色、白色或蓝色背景的照片。", "不符合要求"},
    SkinContent{layout::kSkinFiles[3], FrameContent::Reason,
             "打开的照片文件类型不是JPG或JPEG，请选择JPG或JPEG格式的照片文件。", "不符合要求"},
    SkinContent{layout::kSkinFiles[4], FrameContent::Reason,
             "打开的照片文件不符合要求，请选择正面标准人像证件照。", "不符合要求"},
    SkinContent{layout::kSkinFiles[5], FrameContent::Reason,
             "照片中人脸的大小或位置不符合要求，请选择头部完整、居中且头顶上方留有空间的照片。",
             "不符合要求"},
    SkinContent{layout::kSkinFiles[6], FrameContent::Reason,
             "照片文件小于30K或像素太少，请选择文件大小和像素尺寸都符合要求的照片。", "不符合要求"},
};

// ---------------------------------------------------------------------------------------------
// Buttons

enum class Glyph { Folder, Floppy, Runner };

struct ButtonLook {
    const char* fileName;
    QSize size;   // of the picture, in window units
    QColor base;  // the bar's colour; shades and gloss are derived from it
    Glyph glyph;
    const char* label;
    bool disabled;  // greyed out and drawn with a margin of (size - kButtonSize) / 2
};

inline constexpr int kButtonRadius = 12;
inline constexpr int kButtonLabelPx = 19;
inline constexpr int kButtonGlyphInset = 9;  // glyph box: square, this far from top and bottom
inline constexpr int kButtonGlyphLeft = 11;  // glyph box: this far from the bar's left end
inline constexpr int kButtonLabelGap = 6;    // label area: from the glyph ...
inline constexpr int kButtonLabelRight = 8;  // ... to this far from the bar's right end

inline constexpr std::array kButtons{
    ButtonLook{layout::kButtonOpenFile, kButtonSize, {24, 118, 214},
               Glyph::Folder, "打开照片", false},
    ButtonLook{layout::kButtonSaveFile, kButtonSize, {34, 150, 62},
               Glyph::Floppy, "保存照片", false},
    ButtonLook{layout::kButtonExitFile, kButtonSize, {206, 40, 36},
               Glyph::Runner, "退出系统", false},
    ButtonLook{layout::kButtonSaveGreyFile, kButtonSize + QSize(4, 4), {34, 150, 62},
               Glyph::Floppy, "保存照片", true},
};

// ---------------------------------------------------------------------------------------------
// Icon: a circular yellow badge, with alpha. The banner logo is the same artwork.

inline constexpr const char* kIconFile = layout::kIconFile;
inline constexpr int kIconSize = 128;

}  // namespace skingen
