#pragma once

#include <string>

// The verdicts of an audit, as held in a window's m_nState.
enum ResultState : int {
    Idle = 0,              // no verdict shown
    Passed = 1,            // every check passed; the normalised photo is ready
    BadBackground = 2,     // background not plain, or not red, blue or white
    BadFormat = 3,         // the file does not decode as an image
    NoSinglePortrait = 4,  // no face, or three or more
    BadProportion = 5,     // face proportion or framing failed
    BadSize = 6,           // file under 30720 bytes, or image under 215 x 300
};

inline constexpr int kResultStateCount = 7;

/// The enumerator's name ("Passed", "BadSize", ...), or "Unknown" outside 0..6.
const char* ResultStateName(int state);

/// The verdict's log message in UTF-8 ("图像审核成功！", ...); empty for Idle and unknown codes.
const char* ResultMessage(int state);

/// The run-log line of a verdict: `fileName` (as it is to appear), the message and "\r\n".
std::string VerdictLogLine(const std::string& fileName, int state);
