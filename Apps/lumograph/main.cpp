#include "DesktopApp.h"

int main(int argc, char** argv) {
    return lumographMain(argc, argv);
}
