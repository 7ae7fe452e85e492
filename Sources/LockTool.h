#pragma once

// The command-line lock tool:
//   <tool> -c <path>                check the lock; a live holder's description goes to stderr
//   <tool> -u <path>                give the lock back
//   <tool> -l <path> <description>  take the lock, waiting while another process holds it
// The exit code is the lock function's result; 1 for a wrong number of arguments, 2 for an
// option that is not two characters long, 3 for an unknown option letter.
int lockToolMain(int argc, char* argv[]);
