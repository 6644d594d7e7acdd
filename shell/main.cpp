#include "shell/VetrixApp.h"

int main(int argc, char** argv) {
    return CVetrixApp::Run(argc, argv);
}
