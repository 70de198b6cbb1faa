/* A stand-in for the sequencing host: loads libpixoria.so with dlopen,
 * opens the scan window through one of its entry points, waits for the one
 * callback and prints what it received.
 *   scan_window_host LIBRARY local CAMERA-ID DATA-FOLDER HOST MODEL-NAME
 *   scan_window_host LIBRARY rtsp URL USER PASSWORD DATA-FOLDER HOST NAME
 * Empty arguments ("") are passed as null. Prints "entry point
 * returned", then "callbacks: N", "result: PATH" and "on the calling
 * thread: yes|no". Exit status 0 after a model path, 1 after a cancel, 2
 * on bad use. */

#define _POSIX_C_SOURCE 200809L

#include "api/pixoria.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* The entry points' types, from the library's own declarations. */
typedef __typeof__(&pxo_present_scan_window_host) PresentLocal;
typedef __typeof__(&pxo_present_scan_window_rtsp_host) PresentRtsp;

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t arrived = PTHREAD_COND_INITIALIZER;
static int calls = 0;
static char received[4096];
static int gotNull = 0;
static pthread_t caller;
static int onCaller = 0;

static void onResult(const char* modelPath, void* context) {
  pthread_mutex_lock(&mutex);
  ++calls;
  gotNull = modelPath == NULL;
  onCaller = pthread_equal(pthread_self(), caller);
  snprintf(received, sizeof received, "%s", modelPath ? modelPath : "");
  if (context != (void*)&calls) fprintf(stderr, "context changed\n");
  pthread_cond_signal(&arrived);
  pthread_mutex_unlock(&mutex);
}

static const char* orNull(const char* s) { return s && *s ? s : NULL; }

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  caller = pthread_self();
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  if (strcmp(argv[2], "local") == 0 && argc == 7) {
    PresentLocal present =
        (PresentLocal)dlsym(library, "pxo_present_scan_window_host");
    if (!present) return 2;
    present(orNull(argv[3]),
            orNull(argv[4]),
            orNull(argv[5]),
            orNull(argv[6]),
            onResult,
            &calls);
  } else if (strcmp(argv[2], "rtsp") == 0 && argc == 9) {
    PresentRtsp present =
        (PresentRtsp)dlsym(library, "pxo_present_scan_window_rtsp_host");
    if (!present) return 2;
    present(orNull(argv[3]),
            orNull(argv[4]),
            orNull(argv[5]),
            orNull(argv[6]),
            orNull(argv[7]),
            orNull(argv[8]),
            onResult,
            &calls);
  } else {
    return 2;
  }
  printf("entry point returned\n");
  fflush(stdout);
  pthread_mutex_lock(&mutex);
  while (calls == 0) pthread_cond_wait(&arrived, &mutex);
  pthread_mutex_unlock(&mutex);
  /* Nothing more may arrive. */
  struct timespec pause = {1, 0};
  nanosleep(&pause, NULL);
  pthread_mutex_lock(&mutex);
  printf("callbacks: %d\nresult: %s\n", calls, gotNull ? "(null)" : received);
  printf("on the calling thread: %s\n", onCaller ? "yes" : "no");
  pthread_mutex_unlock(&mutex);
  return gotNull ? 1 : 0;
}
