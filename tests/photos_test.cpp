// Every photo in tests/data/EXPECTED.jsonl gives the verdict, faces, crop and scale recorded
// there, and every passed photo saves exactly the bytes in tests/data/expected-saved/.

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "engine/Export.h"
#include "engine/PhotoAudit.h"
#include "test_support.h"

namespace {

using nlohmann::json;

std::vector<json> ExpectedVerdicts() {
    std::ifstream in(TestData("EXPECTED.jsonl"));
    std::vector<json> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(json::parse(line));
        }
    }
    return lines;
}

std::optional<cv::Rect> RectOf(const json& value) {
    if (value.is_null()) {
        return std::nullopt;
    }
    const auto v = value.get<std::vector<int>>();
    return cv::Rect(v.at(0), v.at(1), v.at(2), v.at(3));
}

class RealPhoto : public testing::TestWithParam<json> {
protected:
    static void SetUpTestSuite() {
        audit_ = &LoadedAudit();
        ASSERT_FALSE(audit_->m_faceCascade.empty());
    }
    static RecordingAudit* audit_;
};

RecordingAudit* RealPhoto::audit_ = nullptr;

TEST(ExpectedVerdicts, CoverEveryOutcome) {
    std::set<std::string> states;
    for (const json& line : ExpectedVerdicts()) {
        states.insert(line.at("state").get<std::string>());
    }
    EXPECT_EQ(states.size(), 6u) << "EXPECTED.jsonl is missing or lacks a verdict";
}

TEST_P(RealPhoto, VerdictFaceCropAndSavedBytes) {
    const json& want = GetParam();
    const std::string file = want.at("file");
    audit_->AuditFile(TestData(file), file);

    EXPECT_EQ(audit_->m_nState, want.at("code").get<int>()) << file;
    EXPECT_EQ(ResultStateName(audit_->m_nState), want.at("state").get<std::string>()) << file;
    EXPECT_EQ(ResultMessage(audit_->m_nState), want.at("message").get<std::string>()) << file;
    std::vector<cv::Rect> faces;
    for (const json& face : want.at("faces")) {
        faces.push_back(*RectOf(face));
    }
    EXPECT_EQ(audit_->m_details.faces, faces) << file;
    EXPECT_EQ(audit_->m_details.face, RectOf(want.at("face"))) << file;

    const std::optional<cv::Rect> crop = RectOf(want.at("crop"));
    const auto& plan = audit_->m_details.crop;
    ASSERT_EQ(plan.has_value(), crop.has_value()) << file;
    if (!plan) {
        return;
    }
    EXPECT_EQ(plan->sub, *crop) << file;
    EXPECT_EQ(plan->scale, want.at("scale").get<double>()) << file;
    const auto size = want.at("size").get<std::vector<int>>();
    EXPECT_EQ(audit_->m_matResult.size(), cv::Size(size.at(0), size.at(1))) << file;

    const std::string stem = std::filesystem::path(file).stem().string();
    EXPECT_EQ(EncodeApprovedPhoto(audit_->m_matResult),
              ReadBytes(TestData("expected-saved/" + stem + ".jpg")))
        << file << ": saved bytes differ from expected-saved/" << stem << ".jpg";
}

INSTANTIATE_TEST_SUITE_P(
    Examples, RealPhoto, testing::ValuesIn(ExpectedVerdicts()),
    [](const testing::TestParamInfo<json>& param) {
        std::string name =
            std::filesystem::path(param.param.at("file").get<std::string>()).stem().string();
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    });

TEST(RealPhoto, ExifOrientationIsApplied) {
    // Stored sideways (480 wide, 640 high as decoded upright) with orientation 6.
    const cv::Mat photo = DecodePhoto(TestData("orient_exif6_stored_sideways_blue_test1_480x640.jpg"));
    EXPECT_EQ(photo.size(), cv::Size(480, 640));
}

}  // namespace
