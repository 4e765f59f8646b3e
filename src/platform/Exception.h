// The program-wide base error type: every error the program raises carries
// a message text and nothing else.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string &message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};
