/* Starts a program and prints how long it took until it mapped its first top-level window:
 *     waitmap [--keep] PROGRAM ARGS...   ->   "mapped <milliseconds> <window id>"
 * The program is then terminated unless --keep is given, in which case waitmap waits for it and
 * exits with its status. Measures start-up from outside, without any switch in the program. */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

static double now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int main(int argc, char** argv)
{
    int keep = 0, first = 1;
    if (argc > 1 && strcmp(argv[1], "--keep") == 0) {
        keep = 1;
        first = 2;
    }
    if (argc <= first) {
        fprintf(stderr, "usage: waitmap [--keep] PROGRAM ARGS...\n");
        return 2;
    }
    xcb_connection_t* c = xcb_connect(NULL, NULL);
    if (xcb_connection_has_error(c)) {
        fprintf(stderr, "waitmap: no X display\n");
        return 2;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);

    double start = now_ms();
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[first], argv + first);
        _exit(127);
    }
    xcb_generic_event_t* event;
    while ((event = xcb_wait_for_event(c))) {
        if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
            xcb_map_notify_event_t* map = (xcb_map_notify_event_t*)event;
            if (!map->override_redirect) {
                printf("mapped %.1f %u\n", now_ms() - start, map->window);
                fflush(stdout);
                free(event);
                break;
            }
        }
        free(event);
    }
    xcb_disconnect(c);
    int status = 0;
    if (!keep)
        kill(child, SIGTERM);
    waitpid(child, &status, 0);
    return keep && WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}
