#include "LockFile.h"

#include <cstdio>
#include <unistd.h>

// Waits for one byte on standard input, tries the lock at argv[1], writes the result as one
// byte on standard output, then stays alive until descriptor 3 ends. Exits with the result.
int main(int argc, char* argv[]) {
    if (argc != 2) {
        return 100;
    }
    char byte;
    if (read(STDIN_FILENO, &byte, 1) != 1) {
        return 101;
    }
    int result = lockFileTryAcquire(argv[1], "Contender", nullptr);
    char reply = static_cast<char>(result);
    if (write(STDOUT_FILENO, &reply, 1) != 1) {
        return 102;
    }
    while (read(3, &byte, 1) > 0) {
    }
    return result;
}
