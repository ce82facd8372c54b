#pragma once
// The module's GPIO pins by module pin number: sysfs for direction and level,
// the SoC's configuration register (through /dev/mem) for the pull.
// Messages go to standard output.
#include <cstdint>

int gpio_init(int pin, int direction, int level, int pull);
int gpio_export(int pin);
int gpio_unexport(int pin);
int gpio_set_direction(int pin, int direction);  // 1 out, anything else in
int gpio_get_direction(int pin);                 // 1 out, 0 in
int gpio_set_level(int pin, int level);
int gpio_get_level(int pin);
int gpio_set_pull(int pin, int pull);  // 0..3
int gpio_get_pull(int pin);

// Sysfs attributes and the register of one pin; -2 for a pin not in the map.
int GpioSysfs_ExportGpio(int pin);
int GpioSysfs_UnexportGpio(int pin);
int GpioSysfs_WriteDirection(int pin, int direction);
int GpioSysfs_ReadDirection(int pin);
int GpioSysfs_WriteValue(int pin, int value);
int GpioSysfs_ReadValue(int pin);
int GpioSysfs_OpenValue(int pin);
int GpioSysfs_WriteEdge(int pin, int edge);
int GpioSysfs_WriteActiveLow(int pin, int value);
int GpioSysfs_ReadActiveLow(int pin);
int GpioReg_SetPull(int pin, uint8_t pull);
int GpioReg_GetPull(int pin);

// Kernel GPIO number of a module pin, -1 when the pin is not in the map.
int gpioNumber(int pin);
