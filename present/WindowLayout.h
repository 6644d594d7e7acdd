#pragma once

// The main window's geometry and its picture files: the one place where they are written.
// The window, the picture generator, the Passed picture's composition and the tests all read
// them from here. Plain C++ so that every part may include it (the engine takes no Qt).
//
// Everything is in window units. On a desktop scaled by a factor (1.25, 2, ...) Qt maps each
// window unit to that many device pixels, and the pictures come in one rendering per scale.

#include <array>
#include <cmath>

namespace layout {

/// A rectangle in window units: left column, top row, width and height.
struct Box {
    int x, y, width, height;

    constexpr int right() const { return x + width; }    ///< first column after the box
    constexpr int bottom() const { return y + height; }  ///< first row after the box
    friend constexpr bool operator==(const Box&, const Box&) = default;
};

/// The window's fixed size; also the smallest screen, in device pixels, that shows it whole.
inline constexpr int kWindowWidth = 800;
inline constexpr int kWindowHeight = 600;

/// The three buttons, in one column in the white card of every skin.
inline constexpr int kButtonX = 520;
inline constexpr int kButtonWidth = 197;
inline constexpr int kButtonHeight = 48;
inline constexpr Box kOpenButton{kButtonX, 100, kButtonWidth, kButtonHeight};
inline constexpr Box kSaveButton{kButtonX, 188, kButtonWidth, kButtonHeight};
inline constexpr Box kExitButton{kButtonX, 276, kButtonWidth, kButtonHeight};

/// Where the Passed picture shows the normalised photo, stretched to fill it.
inline constexpr Box kResultPhotoFrame{280, 83, 177, 228};

/// A point in window units.
struct Point {
    int x, y;
};

/// Where a rejection's hint appears: under the result frame, where the candidate is reading.
inline constexpr Point kHintAnchor{280, 340};
/// How long the hint stays before it shows only as the window's tooltip, in milliseconds.
inline constexpr int kHintShownMs = 20000;

/// The picture files. Skins are in the order of the verdict codes (Idle = 0 ... BadSize = 6).
inline constexpr std::array<const char*, 7> kSkinFiles{
    "skin_idle.png",           "skin_passed.png",     "skin_bad_background.png",
    "skin_bad_format.png",     "skin_no_single_portrait.png",
    "skin_bad_proportion.png", "skin_bad_size.png",
};
inline constexpr const char* kButtonOpenFile = "btn_open.png";
inline constexpr const char* kButtonSaveFile = "btn_save.png";
inline constexpr const char* kButtonExitFile = "btn_exit.png";
/// The disabled save button: the grey bar with 2 units of white round it.
inline constexpr const char* kButtonSaveGreyFile = "btn_save_grey.png";
inline constexpr const char* kIconFile = "icon.png";

/// The scales each picture is rendered at, in per cent of a window unit: the desktop scales in
/// common use. The 100 % pictures sit in the picture folder itself, the others in a subfolder
/// named by the per cent ("200/skin_idle.png").
inline constexpr std::array<int, 4> kPictureScalesPercent{100, 125, 150, 200};

/// `length` window units in device pixels at `scale`, rounded to the nearest pixel (halves up).
/// The picture generator and the window round the same way, so their pictures line up.
inline int ToDevicePixels(int length, double scale) {
    return static_cast<int>(std::floor(length * scale + 0.5));
}

/// `box` in device pixels at `scale`: each edge rounded on its own, so that boxes that touch in
/// window units still touch. At scale 1 the box itself.
inline Box ToDevicePixels(const Box& box, double scale) {
    const int left = ToDevicePixels(box.x, scale);
    const int top = ToDevicePixels(box.y, scale);
    return {left, top, ToDevicePixels(box.right(), scale) - left,
            ToDevicePixels(box.bottom(), scale) - top};
}

}  // namespace layout
