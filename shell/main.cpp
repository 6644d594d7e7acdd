#include "shell/VetrixApp.h"

int main(int argc, char** argv) {
    CVetrixApp theApp(argc, argv);
    return theApp.InitInstance();
}
