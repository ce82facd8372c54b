/* Client library of the module's connection manager. */
#ifndef QL_MGMT_CLIENT_H
#define QL_MGMT_CLIENT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Size of every manager message record. */
#define QL_MGMT_MSG_SIZE 416

/* Runs on the library's own event thread. */
typedef void (*ql_mgmt_client_event_cb)(int event_id, void* data, int len);

/* 0 on success; *handle then names the connection. */
int ql_mgmt_client_open(int* handle, ql_mgmt_client_event_cb cb);
/* 0 on success. The manager may write its answer back into data (len bytes). */
int ql_mgmt_client_set(int handle, int msg_id, void* data, int len);
int ql_mgmt_client_get(int handle, int msg_id, void* data, int len);
int ql_mgmt_client_close(int handle);

#ifdef __cplusplus
}
#endif

#endif
