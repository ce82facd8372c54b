#pragma once
// SD-card state from the mount table: 0 not mounted, 1 mounted read-write,
// 2 mounted without "rw".
enum { SDCARD_ABSENT = 0, SDCARD_RW = 1, SDCARD_RO = 2 };

int sdcardState();
