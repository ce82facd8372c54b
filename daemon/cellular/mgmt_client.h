#pragma once
// The process-wide connection-manager client: opened on first use, never
// closed, with a list of event handlers that every manager event reaches.

using MgmtEventHandler = void (*)(int eventId, void* data, int len);

int mgmt_client_get_handle();  // 0 when the manager cannot be reached
// Result 0 on success, 2 without a client, else the library's result.
int mgmt_set(int id, void* record, int len);
int mgmt_get(int id, void* record, int len);
void mgmt_add_event_handler(MgmtEventHandler handler);
void mgmt_remove_event_handler(MgmtEventHandler handler);
int mgmt_client_close();
