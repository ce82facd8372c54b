#pragma once
// One sync run with the cloud API: 0 on success, -1 on failure.
int runSync(int firstSync);
