#include "engine/ResultState.h"

namespace {

struct StateText {
    const char* name;
    const char* message;
};

constexpr StateText kStates[kResultStateCount] = {
    {"Idle", ""},
    {"Passed", "图像审核成功！"},
    {"BadBackground", "不是纯背景，或者不是红蓝白！"},
    {"BadFormat", "文件格式不符合要求！"},
    {"NoSinglePortrait", "不是纯背景，或者背景复杂，识别出错！"},
    {"BadProportion", "图像比例不符合要求！"},
    {"BadSize", "图像大小或者尺寸不符合要求！"},
};

bool Known(int state) { return state >= 0 && state < kResultStateCount; }

}  // namespace

const char* ResultStateName(int state) { return Known(state) ? kStates[state].name : "Unknown"; }

const char* ResultMessage(int state) { return Known(state) ? kStates[state].message : ""; }

std::string VerdictLogLine(const std::string& fileName, int state) {
    return fileName + ResultMessage(state) + "\r\n";
}
