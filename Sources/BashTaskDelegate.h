#pragma once

#include <string>

// Receives the output of a child process line by line.
class BashTaskDelegate {
public:
    virtual ~BashTaskDelegate() = default;

    // One line of the child's standard output, as bytes, without its line end.
    virtual void onDataReceived(const std::string& line) = 0;
    // The child has ended; the task's delegate has already been told.
    virtual void onTerminate() = 0;
};
