// capture-helper: exports the framebuffer a display controller scans out
// and forwards its vertical blanks. Takes no options.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>

#include "apps/capture-helper/drm_module.h"
#include "apps/capture-helper/peer_access.h"
#include "apps/capture-helper/server.h"

int main()
{
    // Progress lines reach a pipe or a log file as they are written.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (drm_module_init() < 0 || peer_access_init() < 0)
        return 1;
    pthread_t server;
    int rc = pthread_create(&server, nullptr, start_handle_client_drm, nullptr);
    if (rc != 0) {
        errno = rc;
        perror("pthread_create t1 failed");
        exit(1);
    }
    pthread_join(server, nullptr);
    return 0;
}
