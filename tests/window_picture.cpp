// vetrix-window-picture PHOTO OUT: audits PHOTO as the window does and writes the picture the
// window then shows (800 x 600, RGBA, row by row) to OUT, and the verdict's name to standard
// output. The browser test compares the page's picture with it.

#include <cstdio>
#include <fstream>
#include <string>

#include <QImage>

#include <opencv2/imgproc.hpp>

#include "present/Compose.h"
#include "engine/PhotoAudit.h"
#include "shell/ImageBridge.h"
#include "shell/Pictures.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vetrix-window-picture PHOTO OUT\n");
        return 2;
    }
    pictures::Register();
    CPhotoAudit audit;
    if (!audit.LoadFaceCascade()) {
        std::fprintf(stderr, "vetrix-window-picture: no face cascade\n");
        return 2;
    }
    audit.AuditFile(argv[1], DisplayFileName(argv[1]));
    // As CVetrixDlg::CurrentPicture: the verdict's skin, with the photo composed into it on
    // Passed.
    const cv::Mat skin = QImageToMat(QImage(pictures::SkinFor(audit.m_nState)));
    const cv::Mat picture =
        audit.m_nState == Passed ? ComposeResultPicture(skin, audit.m_matResult) : skin;
    cv::Mat rgba;
    cv::cvtColor(picture, rgba, cv::COLOR_BGR2RGBA);
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(rgba.data),
              static_cast<std::streamsize>(rgba.total() * rgba.elemSize()));
    if (!out.flush()) {
        std::fprintf(stderr, "vetrix-window-picture: cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("%s\n", ResultStateName(audit.m_nState));
    return 0;
}
