#include "LockTool.h"

int main(int argc, char* argv[]) {
    return lockToolMain(argc, argv);
}
