/* The module's system log for platform components. */
#ifndef QL_SYS_LOG_H
#define QL_SYS_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* buf_id 0 is the main buffer; prio 2..7 (verbose..fatal). */
int ql_sys_log_puts(int buf_id, int prio, const char* tag, const char* msg);

#ifdef __cplusplus
}
#endif

#endif
