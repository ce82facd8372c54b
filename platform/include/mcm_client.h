/* Client library of the modem's MCM service. */
#ifndef MCM_CLIENT_H
#define MCM_CLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t mcm_client_handle_type;

/* Results of the library calls. 0 and 1 are success. */
enum {
    MCM_SUCCESS = 0,
    MCM_SUCCESS_CONDITIONAL_SUCCESS = 1,
    MCM_ERROR_GENERIC = 2,
    MCM_ERROR_BADPARM = 3,
    MCM_ERROR_MEMORY = 4,
    MCM_ERROR_INVALID_HANDLE = 5,
    MCM_ERROR_SERVICE_UNAVAILABLE = 6,
    MCM_ERROR_TIMEOUT = 7,
    MCM_ERROR_MALFORMED_MSG = 8,
    MCM_ERROR_CALLBACK_CONTEXT = 9
};

/* Both handlers run on the library's own callback thread. */
typedef void (*mcm_client_ind_cb)(mcm_client_handle_type handle, uint32_t msg_id, void* data,
                                  uint32_t data_len);
typedef void (*mcm_client_async_cb)(mcm_client_handle_type handle, uint32_t msg_id, void* data,
                                    uint32_t data_len, void* token);

uint32_t mcm_client_init(mcm_client_handle_type* handle, mcm_client_ind_cb ind_cb,
                         mcm_client_async_cb async_cb);

/* Fills resp (resp_len bytes) from the service's answer; 0 when it did. */
uint32_t mcm_client_execute_command_sync(mcm_client_handle_type handle, uint32_t msg_id,
                                         void* req, uint32_t req_len, void* resp,
                                         uint32_t resp_len);
uint32_t mcm_client_execute_command_sync_ex(mcm_client_handle_type handle, uint32_t msg_id,
                                            void* req, uint32_t req_len, void* resp,
                                            uint32_t resp_len, uint32_t timeout_ms);

/* The answer (resp_len bytes) arrives later through async_cb with the token. */
uint32_t mcm_client_execute_command_async(mcm_client_handle_type handle, uint32_t msg_id,
                                          void* req, uint32_t req_len, uint32_t resp_len,
                                          void* token);

/* Closes the connection; no handler runs after it returned. */
uint32_t mcm_client_release(mcm_client_handle_type handle);

#ifdef __cplusplus
}
#endif

#endif
