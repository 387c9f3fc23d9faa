#pragma once
// Other programs as the desktop offers them: finding one in PATH, running one to read what it
// prints, and opening a document or address with the desktop's chosen program.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace korvalo {

// Finds an executable: a name holding "/" as it is, otherwise in the folders of pathVar
// (PATH's form: folders separated by ":", an empty one meaning the current folder).
[[nodiscard]] std::optional<std::string> FindExecutable(const std::string& name,
                                                        const std::string& pathVar);

// Runs program (a path) with args, standard input and error on /dev/null, in a process group
// of its own. Returns what it wrote to standard output when it exits with status 0 within
// timeout and wrote at most maxOutput bytes; nothing otherwise. A program still running at
// the time limit is killed with its whole group.
[[nodiscard]] std::optional<std::string> RunCapture(const std::string& program,
                                                    const std::vector<std::string>& args,
                                                    std::chrono::milliseconds timeout,
                                                    std::size_t maxOutput = std::size_t{1} << 20);

// The arguments the usual command-line splitting makes of text: blanks and tabs outside double
// quotes separate arguments, double quotes group what lies between them and are dropped ("" is
// an empty argument), every other character is taken as it is.
std::vector<std::string> SplitCommandLine(std::string_view text);

// Starts program (a path) with args, detached from Korvalo: a session of its own, standard
// streams on /dev/null, no other descriptor inherited, default signal handling, the current
// folder and environment. Its end is not awaited (it is reaped when it ends). Returns the
// error when it could not be started.
[[nodiscard]] std::error_code StartDetached(const std::string& program,
                                            const std::vector<std::string>& args);

// Opens target (a file, a web address, a "mailto:" address) with the program the desktop
// chose for it: "xdg-open target", detached from Korvalo (a session of its own, standard
// streams on /dev/null). The text goes to xdg-open as one argument, unchanged. True when the
// opener was started; its own outcome is not awaited.
[[nodiscard]] bool OpenWithDesktop(const std::string& target);

}  // namespace korvalo
