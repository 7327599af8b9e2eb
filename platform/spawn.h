// Starting other programs: always from an argv, never through a shell.
//
// A configured command line is first split into words, then placeholders are replaced
// inside each word, so a caller's number or name is always part of one argument and
// can never add words, redirections or commands. Every started program gets only
// descriptors 0, 1 and 2, default signal handling and an empty signal mask, and is
// reaped by a thread of its own so no zombie is left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits a command line into words:
//  - words are separated by unquoted blanks (space, tab, CR, LF);
//  - a double quote starts or ends a quoted stretch and is dropped; blanks inside
//    belong to the word, and quoted and unquoted stretches next to each other make
//    one word (ab"c d"e is the word abc de); "" alone is an empty word;
//  - a backslash right before a double quote gives a literal quote; every other
//    backslash is an ordinary character, so C:\dir\file stays as it is;
//  - nothing else is special: no $, `, ', ~, globbing or variables.
// An unclosed quote runs to the end of the line.
std::vector<std::string> splitCommandLine(std::string_view line);

struct Placeholder {
    std::string_view token;  // e.g. "!c"
    std::string value;
};

enum class Occurrences {
    First,  // each placeholder replaced at its first occurrence over all words only
    All,
};

// Replaces placeholders inside each word in one left-to-right pass over the words:
// inserted values are never searched again, so a value holding "!f" stays as it is.
// Where two tokens start at one place, the first listed wins.
std::vector<std::string> substitutePlaceholders(const std::vector<std::string>& words,
                                                std::span<const Placeholder> placeholders,
                                                Occurrences which);

// A started program. Copies share one record; dropping every copy leaves the program
// running and still reaped.
class ChildProcess {
  public:
    struct State;  // shared with the reaper thread; opaque

    pid_t pid() const;
    // The wait status (as from waitpid) once the program has ended and was reaped,
    // waiting at most `timeout`; nullopt while it still runs.
    std::optional<int> waitFor(std::chrono::milliseconds timeout) const;

  private:
    friend struct SpawnAccess;
    explicit ChildProcess(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

struct SpawnResult {
    std::optional<ChildProcess> child;
    std::string error;  // why the program could not be started, for the log or a box
    bool started() const { return child.has_value(); }
};

// Starts argv[0] with the given arguments; a name without '/' is searched in PATH.
// The environment and working directory are the caller's.
SpawnResult spawnProgram(const std::vector<std::string>& argv);

// Starts argv like spawnProgram, but as the child of a shell that ends at once and is
// reaped before this returns: the program is left to the system to reap and no thread
// of the caller's watches it. For code that is unloaded right after (the settings
// library). Empty when started, else why not.
std::string spawnDetachedProgram(const std::vector<std::string>& argv);

// A program run to its end with its output read back, for tools whose answer the caller
// needs (the service manager's). Each output is kept up to 64 KiB.
struct CapturedRun {
    bool started = false;   // false: `error` says why
    bool timedOut = false;  // still running at the limit, then killed
    int status = 0;         // wait status once it ended
    std::string out, err, error;
    bool exitedWith(int code) const;
};

// Runs argv (searched in PATH like spawnProgram) with stdin from /dev/null and waits at
// most `limit` for it to end.
CapturedRun runCaptured(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// Opens a document with the desktop's viewer (xdg-open).
SpawnResult openDocument(const std::string& path);
// Prints a document on the default printer (lp).
SpawnResult printDocument(const std::string& path);
// Opens a text file in $EDITOR (split into words as above), else with xdg-open.
SpawnResult editTextFile(const std::string& path);

}  // namespace platform
