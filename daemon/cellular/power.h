#pragma once
// Shell commands and module power control.
int shell_run(const char* format, ...) __attribute__((format(printf, 1, 2)));
int module_power_down(int mode);
int file_missing(const char* path);
