#include "log/StandardDescriptors.h"
#include "shell/VetrixApp.h"

int main(int argc, char** argv) {
    // Before anything opens a file: a closed stderr must not become the run log's descriptor.
    OpenClosedStandardDescriptors();
    CVetrixApp theApp(argc, argv);
    return theApp.InitInstance();
}
