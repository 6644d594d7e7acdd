// vetrix-bare: the bare pipeline as a program of its own, for timing against a whole
// vetrix-audit run: it loads the face cascade, then decodes, greys, equalises and detects on
// one photo with OpenCV's default threads (or --threads N), and prints the number of faces.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <opencv2/core/utility.hpp>

#include "bench/bench_support.h"

int main(int argc, char** argv) {
    int first = 1;
    if (argc >= 3 && std::strcmp(argv[1], "--threads") == 0) {
        cv::setNumThreads(std::atoi(argv[2]));
        first = 3;
    }
    if (argc != first + 1) {
        std::fputs("usage: vetrix-bare [--threads N] PHOTO\n", stderr);
        return 2;
    }
    cv::CascadeClassifier cascade(FindFaceCascade());
    if (cascade.empty()) {
        std::fputs("vetrix-bare: no face cascade could be loaded\n", stderr);
        return 2;
    }
    std::printf("%zu\n", RunBarePipeline(cascade, argv[first]).size());
    return 0;
}
