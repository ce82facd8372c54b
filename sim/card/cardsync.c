/* Preloaded into programs that run on the power-cut card: the kernel does
 * not pass sync() or syncfs() on to a FUSE file system, so after the real
 * call this sends "sync" to the control socket of each card mounted there.
 *
 * TN_CARD_SYNC="MOUNT=SOCKET:MOUNT=SOCKET..." names the cards. sync() flushes
 * every card; syncfs(fd) only the card fd lives on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static void tell_card(const char* sock) {
    struct sockaddr_un a;
    if (strlen(sock) >= sizeof a.sun_path) return;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, sock);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) == 0 && write(fd, "sync\n", 5) == 5) {
        /* Wait for the reply: the sync is done only once the card says so. */
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n') {
        }
    }
    close(fd);
}

/* Calls tell_card for each card, or only the one on device `dev` when `dev`
 * is not 0. */
static void tell_cards(dev_t dev, int only) {
    const char* env = getenv("TN_CARD_SYNC");
    if (env == NULL || *env == '\0') return;
    int saved = errno;
    char list[4096];
    strncpy(list, env, sizeof list - 1);
    list[sizeof list - 1] = '\0';
    char* save = NULL;
    for (char* item = strtok_r(list, ":", &save); item; item = strtok_r(NULL, ":", &save)) {
        char* eq = strchr(item, '=');
        if (eq == NULL) continue;
        *eq = '\0';
        struct stat st;
        if (only && (stat(item, &st) != 0 || st.st_dev != dev)) continue;
        tell_card(eq + 1);
    }
    errno = saved;
}

void sync(void) {
    void (*real)(void) = (void (*)(void))dlsym(RTLD_NEXT, "sync");
    if (real) real();
    tell_cards(0, 0);
}

int syncfs(int fd) {
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
    int rc = real ? real(fd) : 0;
    struct stat st;
    if (rc == 0 && fstat(fd, &st) == 0) tell_cards(st.st_dev, 1);
    return rc;
}
