#include "LockTool.h"

#include "LockFile.h"

#include <cstdio>
#include <cstring>

int lockToolMain(int argc, char* argv[]) {
    // Arguments after the program's own name: the option, the path, and for -l a description.
    int arguments = argc - 1;
    if (arguments < 2) {
        return 1;
    }
    const char* option = argv[1];
    if (strlen(option) != 2) {
        return 2;
    }
    const char* path = argv[2];
    switch (option[1]) {
    case 'c': {
        if (arguments != 2) {
            return 1;
        }
        char holderDescription[kLockFileDescriptionSize] = {};
        int result = lockFileCheck(path, holderDescription);
        if (holderDescription[0] != '\0') {
            fprintf(stderr, "%s\n", holderDescription);
        }
        return result;
    }
    case 'u':
        if (arguments != 2) {
            return 1;
        }
        return lockFileRelease(path);
    case 'l':
        if (arguments != 3) {
            return 1;
        }
        return lockFileAcquireWait(path, argv[3]);
    default:
        return 3;
    }
}
