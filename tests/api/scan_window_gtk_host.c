/* A host that runs GTK itself: its own gtk_main on the main thread, the
 * scan window opened from that loop through the library loaded with
 * dlopen. The window must come up on this loop (no second GTK thread), and
 * the loop must never stall while the window connects, scans and decodes;
 * a 10 ms tick measures the longest gap.
 *   scan_window_gtk_host LIBRARY RTSP-URL DATA-FOLDER
 * Prints "entry point returned", then at the end "callbacks: N",
 * "result: PATH", "window on the host's loop: yes|no" and "longest stall:
 * N ms". Exit status 0 after a model path, 1 after a cancel, 2 on bad
 * use. */

#define _POSIX_C_SOURCE 200809L

#include "api/pixoria.h"

#include <dlfcn.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <string.h>

/* The entry point's type, from the library's own declaration. */
typedef __typeof__(&pxo_present_scan_window_rtsp_host) PresentRtsp;

static GMutex mutex;
static int calls = 0;
static char received[4096];
static int gotNull = 0;
static int windowSeen = 0;
static gint64 lastTick = 0;
static gint64 longestStall = 0;
static PresentRtsp present;
static char** args;

static gboolean quitLater(gpointer unused) {
  (void)unused;
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

/* Called once, on a thread of the library's: hand the news to our loop. */
static void onResult(const char* modelPath, void* context) {
  (void)context;
  g_mutex_lock(&mutex);
  ++calls;
  gotNull = modelPath == NULL;
  snprintf(received, sizeof received, "%s", modelPath ? modelPath : "");
  g_mutex_unlock(&mutex);
  /* Nothing more may arrive: look again a second later. */
  g_timeout_add(1000, quitLater, NULL);
}

static gboolean tick(gpointer unused) {
  (void)unused;
  const gint64 now = g_get_monotonic_time();
  if (lastTick && now - lastTick > longestStall) longestStall = now - lastTick;
  lastTick = now;
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w; w = w->next) {
    const char* title = gtk_window_get_title(GTK_WINDOW(w->data));
    if (title && strstr(title, "Glowtrace")) windowSeen = 1;
  }
  g_list_free(windows);
  return G_SOURCE_CONTINUE;
}

static gboolean openWindow(gpointer unused) {
  (void)unused;
  present(args[2], NULL, NULL, args[3], NULL, NULL, onResult, &calls);
  printf("entry point returned\n");
  fflush(stdout);
  return G_SOURCE_REMOVE;
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  args = argv;
  if (!gtk_init_check(&argc, &argv)) {
    fprintf(stderr, "no display\n");
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  present = (PresentRtsp)dlsym(library, "pxo_present_scan_window_rtsp_host");
  if (!present) return 2;
  g_timeout_add(10, tick, NULL);
  g_idle_add(openWindow, NULL);
  gtk_main();
  g_mutex_lock(&mutex);
  printf("callbacks: %d\nresult: %s\n", calls, gotNull ? "(null)" : received);
  g_mutex_unlock(&mutex);
  printf("window on the host's loop: %s\n", windowSeen ? "yes" : "no");
  printf("longest stall: %d ms\n", (int)(longestStall / 1000));
  return gotNull ? 1 : 0;
}
