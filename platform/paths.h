// Where the program keeps its files and finds its libraries, and how paths are built.
//
// Every path in the program is built with joinPath, never by pasting separators, and
// every text that becomes part of a file name or a registry key name goes through
// fileKey first.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace platform {

// Joins components with exactly one '/' between them. The first component keeps a
// leading '/'; empty components are skipped; nothing else is changed (no case change,
// no backslash handling: a backslash is an ordinary file-name character here).
std::string joinPath(std::initializer_list<std::string_view> parts);

template <typename... Parts>
std::string joinPath(std::string_view first, Parts&&... rest) {
    return joinPath({first, std::string_view(rest)...});
}

// Makes a number or text safe as one file-name or key-name component: '?', '/', '\\',
// control characters (below 0x20 and 0x7F) and a leading '.' become '_'. Everything
// else, digits and UTF-8 included, is kept. An empty text stays empty.
std::string fileKey(std::string_view text);

// mkdir -p. Existing directories are fine; new ones get `mode`. Returns false and
// fills `error` (if given) when a component cannot be created or is not a directory.
bool makeDirectories(const std::string& path, unsigned mode = 0700, std::string* error = nullptr);

// The program directory, always absolute and ending with '/'. Resolved at each call:
// ORVELIN_HOME, else $XDG_DATA_HOME/orvelin/, else ~/.local/share/orvelin/.
// initProgramDirectory stores the start-up choice in ORVELIN_HOME, so both copies of
// this code (program and settings library) and started programs agree on it.
std::string programDirectory();

// Resolves the program directory once at start-up: ORVELIN_HOME, else `--home DIR`
// (or --home=DIR) from argv, else /var/lib/orvelin/ in service mode, else the XDG
// default. A relative choice is made absolute against the current directory. Creates
// the directory with its parents and exports it as ORVELIN_HOME. Call before any
// thread starts (it changes the environment). Returns the directory, or an empty
// string with `error` filled when it cannot be created.
std::string initProgramDirectory(int argc, const char* const* argv, bool serviceMode,
                                 std::string* error = nullptr);

// The directory the program's shared libraries are loaded from, ending with '/':
// the executable's own directory in a build tree (it holds CMakeCache.txt) or when
// the executable is not installed under a bin/ directory; <prefix>/lib/orvelin/ for an
// executable installed as <prefix>/bin/orvelin.
std::string libraryDirectory();
// The same rule for a given executable path (absolute).
std::string libraryDirectoryFor(std::string_view executable);

}  // namespace platform
