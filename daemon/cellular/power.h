#pragma once
// Shell commands and module power control.
int shell_run(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Like shell_run, but a command still running after `seconds` is killed with
// its whole process group and -1 is returned: a tool waiting on an unreachable
// server must not stall the thread that runs it for ever.
int shell_run_bounded(int seconds, const char* format, ...) __attribute__((format(printf, 2, 3)));
int module_power_down(int mode);
int file_missing(const char* path);
