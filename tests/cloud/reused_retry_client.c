/* One client of the reused-connection retry check (reused_retry_check.py):
 * a HEAD and then a PATCH of SIZE bytes on one easy handle, set up as the
 * daemon's tus transport sets it up (no "Expect:", a 16 KiB send buffer, a
 * seek callback that refuses every rewind). Every read of the body is
 * printed ("read FROM +N"), so the checker sees which bytes libcurl took.
 *   reused_retry_client URL CAFILE SIZE
 * The body is its own offsets as 4-byte big-endian numbers (bytes 0..3 hold
 * 0, bytes 4..7 hold 4, ...): a receiver tells where a body began. */
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

static long size, pos;

static unsigned char byteAt(long i) { return (unsigned char)((i & ~3L) >> (8 * (3 - (i & 3)))); }

static size_t readBody(char* out, size_t one, size_t count, void* unused) {
    size_t n = 0;
    (void)unused;
    while (n < one * count && pos < size) out[n++] = (char)byteAt(pos++);
    printf("read %ld +%zu\n", pos - (long)n, n);
    fflush(stdout);
    return n;
}

static int refuseRewind(void* unused, curl_off_t offset, int origin) {
    (void)unused;
    printf("seek %ld %d refused\n", (long)offset, origin);
    return CURL_SEEKFUNC_CANTSEEK;
}

static int smallSendBuffer(void* unused, curl_socket_t fd, curlsocktype purpose) {
    int bytes = 16 * 1024;
    (void)unused;
    (void)purpose;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    return CURL_SOCKOPT_OK;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: reused_retry_client URL CAFILE SIZE\n");
        return 2;
    }
    size = atol(argv[3]);
    curl_global_init(CURL_GLOBAL_ALL);
    printf("libcurl %s\n", curl_version_info(CURLVERSION_NOW)->version);
    CURL* h = curl_easy_init();
    struct curl_slist* hs = curl_slist_append(NULL, "Expect:");
    curl_easy_setopt(h, CURLOPT_URL, argv[1]);
    curl_easy_setopt(h, CURLOPT_CAINFO, argv[2]);
    curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, smallSendBuffer);
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    CURLcode rc = curl_easy_perform(h);
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    printf("head %d %ld\n", (int)rc, code);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "PATCH");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, hs);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, refuseRewind);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, (curl_off_t)size);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 20L);
    rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    printf("patch %d %ld %s\n", (int)rc, code, curl_easy_strerror(rc));
    curl_slist_free_all(hs);
    curl_easy_cleanup(h);
    curl_global_cleanup();
    return 0;
}
