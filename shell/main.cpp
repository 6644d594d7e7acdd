#include "platform/System.h"
#include "shell/VetrixApp.h"

int main(int argc, char** argv) {
    // Before anything opens a file: a closed stderr must not become the run log's descriptor.
    OpenClosedStandardDescriptors();
    return CVetrixApp::Run(argc, argv);
}
