#pragma once

#include <string>
#include <string_view>

// Words of a shell text built from values that may come from outside (a remote document, a
// file system path): the shell takes every character of the value literally, and an ordinary
// value comes out as it was written before.
namespace ShellText {

// The value inside double quotes, with backslash, double quote, "$" and backquote escaped.
std::string doubleQuoted(std::string_view value);

// An unquoted word (a program path, an option): unchanged when it holds only characters the
// shell takes literally, otherwise double-quoted.
std::string word(std::string_view value);

// An argument as the child-step initialiser stores it for the shell text (already in double
// quotes, or an option, or stored as is): the same word, with its inside escaped.
std::string storedArgument(std::string_view stored);

}  // namespace ShellText
