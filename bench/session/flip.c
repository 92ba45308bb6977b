/*
 * The host's "glass" for the session benchmarks: an override-redirect window over one
 * monitor whose colour flips on command, optionally under full-screen motion, and which
 * reports the button presses it receives. Every reply carries the wall clock (CLOCK_REALTIME,
 * milliseconds) taken after XSync, i.e. once the X server holds the new pixels.
 *
 *   flip X Y W H          (DISPLAY from the environment)
 * stdin, one command a line:
 *   c RRGGBB   the whole window (or, while busy, the marker square) takes this colour;
 *              replies "flip <ms>"
 *   busy FPS   scrolls a textured picture over the window at FPS frames a second (0 stops)
 *   q          quits
 * stdout also gets "ready" once the window is mapped and "press <ms> <x> <y>" per ButtonPress.
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#define MARKER 320

static double wall_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static double mono_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

/* A texture twice the window's size in each direction, so that any scroll offset finds a
 * whole window's worth: 16-pixel blocks whose colours follow broad waves with a little
 * grain, like a photograph or a video rather than noise. Moved by whole pixels each frame,
 * it keeps every pixel of the screen changing, which a VNC server must send again each
 * time, while a video encoder can find the motion. */
static Pixmap make_texture(Display* d, Window w, GC gc, int tw, int th) {
    Visual* vis = DefaultVisual(d, DefaultScreen(d));
    int depth = DefaultDepth(d, DefaultScreen(d));
    Pixmap pm = XCreatePixmap(d, w, tw, th, depth);
    unsigned int* px = malloc((size_t)tw * 64 * 4);
    if (!px) exit(1);
    XImage* img = XCreateImage(d, vis, depth, ZPixmap, 0, (char*)px, tw, 64, 32, 0);
    srand(7);
    for (int y0 = 0; y0 < th; y0 += 64) {
        for (int by = 0; by < 64; by += 16)
            for (int bx = 0; bx < tw; bx += 16) {
                double fy = y0 + by;
                int r = 128 + (int)(90 * sin(bx / 97.0 + fy / 151.0)) + rand() % 24 - 12;
                int g = 128 + (int)(90 * sin(bx / 173.0 - fy / 67.0)) + rand() % 24 - 12;
                int b = 128 + (int)(90 * sin((bx + fy) / 211.0)) + rand() % 24 - 12;
                unsigned int c = (unsigned)r << 16 | (unsigned)g << 8 | (unsigned)b;
                for (int y = by; y < by + 16; y++)
                    for (int x = bx; x < bx + 16 && x < tw; x++)
                        px[y * tw + x] = c;
            }
        XPutImage(d, pm, gc, img, 0, 0, 0, y0, tw, th - y0 < 64 ? th - y0 : 64);
    }
    XDestroyImage(img); /* frees px */
    return pm;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "uso: %s X Y W H\n", argv[0]);
        return 2;
    }
    int wx = atoi(argv[1]), wy = atoi(argv[2]), ww = atoi(argv[3]), wh = atoi(argv[4]);
    Display* d = XOpenDisplay(NULL);
    if (!d) {
        fprintf(stderr, "flip: no se pudo abrir el display\n");
        return 1;
    }
    int scr = DefaultScreen(d);
    XSetWindowAttributes a = {0};
    a.override_redirect = True;
    a.background_pixel = BlackPixel(d, scr);
    a.event_mask = ButtonPressMask | ExposureMask;
    Window w = XCreateWindow(d, RootWindow(d, scr), wx, wy, ww, wh, 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &a);
    XStoreName(d, w, "kelvora-bench-flip");
    GC gc = XCreateGC(d, w, 0, NULL);
    XMapRaised(d, w);
    XSync(d, False);
    Pixmap tex = 0;
    unsigned long colour = 0;
    int fps = 0, frame = 0;
    double next = 0;
    const int mx = (ww - MARKER) / 2, my = (wh - MARKER) / 2;
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("ready\n");

    char line[128];
    for (;;) {
        while (XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == ButtonPress)
                printf("press %.3f %d %d\n", wall_ms(), e.xbutton.x_root, e.xbutton.y_root);
        }
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(0, &rd);
        FD_SET(ConnectionNumber(d), &rd);
        struct timeval tv, *tvp = NULL;
        if (fps > 0) {
            double left = next - mono_ms();
            if (left < 0) left = 0;
            tv.tv_sec = (long)(left / 1000);
            tv.tv_usec = (long)((left - tv.tv_sec * 1000.0) * 1000);
            tvp = &tv;
        }
        if (select(ConnectionNumber(d) + 1, &rd, NULL, NULL, tvp) < 0) continue;
        if (fps > 0 && mono_ms() >= next) {
            frame++;
            int ox = (frame * 6) % ww, oy = (frame * 2) % wh;
            XCopyArea(d, tex, w, gc, ox, oy, ww, wh, 0, 0);
            XSetForeground(d, gc, colour);
            XFillRectangle(d, w, gc, mx, my, MARKER, MARKER);
            XFlush(d);
            next += 1000.0 / fps;
            if (next < mono_ms()) next = mono_ms() + 1000.0 / fps;
        }
        if (!FD_ISSET(0, &rd)) continue;
        if (!fgets(line, sizeof line, stdin) || line[0] == 'q') break;
        if (line[0] == 'c') {
            colour = strtoul(line + 2, NULL, 16);
            XRaiseWindow(d, w);
            XSetForeground(d, gc, colour);
            if (fps > 0)
                XFillRectangle(d, w, gc, mx, my, MARKER, MARKER);
            else
                XFillRectangle(d, w, gc, 0, 0, ww, wh);
            XSync(d, False);
            printf("flip %.3f\n", wall_ms());
        } else if (!strncmp(line, "busy", 4)) {
            fps = atoi(line + 5);
            if (fps > 0 && !tex) tex = make_texture(d, w, gc, ww * 2, wh * 2);
            next = mono_ms();
            if (fps <= 0) {
                XSetForeground(d, gc, colour);
                XFillRectangle(d, w, gc, 0, 0, ww, wh);
                XSync(d, False);
            }
            printf("busy %d\n", fps);
        }
    }
    XCloseDisplay(d);
    return 0;
}
