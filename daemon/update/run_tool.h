#pragma once
// Runs the archive and file tools of the update path with an argument vector
// (fork/exec, no shell), so a path with a blank, a quote or a ';' stays one
// argument and can neither break nor extend the command. The tools are found
// through PATH; their standard input and output go to /dev/null unless read.
#include <functional>
#include <string>
#include <vector>

// Exit status of the tool; 128 + signal when it was killed; 127 when it could
// not be started; -1 when no process could be made.
int runTool(const std::vector<std::string>& argv);

// Like runTool, and hands each line of the tool's standard output (without
// its line end) to `onLine`. Lines longer than `maxLine` bytes are handed on
// cut, with `cut` set. When `onLine` returns false nothing more is read: the
// tool is left to end on its broken pipe and its status is still returned.
int runToolLines(const std::vector<std::string>& argv,
                 const std::function<bool(const std::string& line, bool cut)>& onLine,
                 size_t maxLine = 4096);

// Like runTool, and hands the tool's standard output as it comes, in pieces
// of any size; stops reading when `onData` returns false.
int runToolOutput(const std::vector<std::string>& argv,
                  const std::function<bool(const char* data, size_t size)>& onData);

// `first | second`, both by argument vector: the status of `second`, or of
// `first` when `second` succeeded (a decompressor that fails fails the step).
// With `onLine`, the lines of `second` as runToolLines hands them.
int runToolPipe(const std::vector<std::string>& first, const std::vector<std::string>& second,
                const std::function<bool(const std::string& line, bool cut)>& onLine = nullptr,
                size_t maxLine = 4096);
