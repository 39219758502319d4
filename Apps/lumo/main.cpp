#include "LumoCli.h"

int main(int argc, char** argv) {
    return runLumo(argc, argv);
}
