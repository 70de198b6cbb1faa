/* A stand-in for the sequencing host on Windows: loads pixoria.dll with
 * LoadLibrary, finds every export the header declares with GetProcAddress,
 * opens the scan window through pxo_present_scan_window, waits for the one
 * callback and prints what it received:
 *   "exports: N of 12", "backend status: 0", "cameras: N" (0 without a
 *   camera back end), "entry point returned", "callbacks: N",
 *   "result: PATH" or "result: (null)", "on the calling thread: yes|no".
 * A second wait after the first callback makes sure no other one follows.
 *   windows_host PATH-TO-DLL
 *     the local camera (the first), no data folder
 *   windows_host PATH-TO-DLL rtsp URL DATA-FOLDER
 *     a network camera, the scan's data saved under DATA-FOLDER; the
 *     window is driven from outside, so the wait is long */

#include "api/pixoria.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

static CRITICAL_SECTION lock;
static CONDITION_VARIABLE arrived;
static int calls = 0;
static int gotNull = 0;
static int onCaller = 0;
static DWORD caller;
static char received[4096];

static void onResult(const char* modelPath, void* context) {
  EnterCriticalSection(&lock);
  ++calls;
  gotNull = modelPath == NULL;
  onCaller = GetCurrentThreadId() == caller;
  snprintf(received, sizeof received, "%s", modelPath ? modelPath : "");
  if (context != (void*)&calls) fprintf(stderr, "context changed\n");
  WakeAllConditionVariable(&arrived);
  LeaveCriticalSection(&lock);
}

int main(int argc, char** argv) {
  static const char* const names[] = {"pxo_scan_backend_status",
                                      "pxo_scan_camera_list",
                                      "pxo_camera_list_count",
                                      "pxo_camera_list_id",
                                      "pxo_camera_list_name",
                                      "pxo_camera_list_free",
                                      "pxo_discover_network_cameras",
                                      "pxo_enumerate_camera_profiles",
                                      "pxo_present_scan_window",
                                      "pxo_present_scan_window_host",
                                      "pxo_present_scan_window_rtsp",
                                      "pxo_present_scan_window_rtsp_host"};
  const int total = (int)(sizeof names / sizeof names[0]);
  HMODULE library;
  int found = 0;
  int i;
  if (argc != 2 && !(argc == 5 && strcmp(argv[2], "rtsp") == 0)) return 2;
  InitializeCriticalSection(&lock);
  InitializeConditionVariable(&arrived);
  caller = GetCurrentThreadId();
  library = LoadLibraryA(argv[1]);
  if (!library) {
    fprintf(stderr, "LoadLibrary failed: %lu\n", GetLastError());
    return 2;
  }
  for (i = 0; i < total; ++i)
    if (GetProcAddress(library, names[i])) ++found;
  printf("exports: %d of %d\n", found, total);

  {
    /* The camera list and the backend status, as the host asks first. */
    typedef int32_t(__cdecl * Status)(void);
    typedef pxo_camera_list*(__cdecl * List)(void);
    typedef int64_t(__cdecl * Count)(const pxo_camera_list*);
    typedef void(__cdecl * Free)(pxo_camera_list*);
    Status status =
        (Status)(void*)GetProcAddress(library, "pxo_scan_backend_status");
    List list = (List)(void*)GetProcAddress(library, "pxo_scan_camera_list");
    Count count =
        (Count)(void*)GetProcAddress(library, "pxo_camera_list_count");
    Free release = (Free)(void*)GetProcAddress(library, "pxo_camera_list_free");
    pxo_camera_list* cameras;
    if (!status || !list || !count || !release) return 2;
    cameras = list();
    printf("backend status: %d\ncameras: %lld\n",
           (int)status(),
           (long long)count(cameras));
    release(cameras);
  }

  if (argc == 5) {
    typedef void(__cdecl * PresentRtsp)(const char*,
                                        const char*,
                                        const char*,
                                        const char*,
                                        pxo_scan_result_callback,
                                        void*);
    PresentRtsp present = (PresentRtsp)(void*)GetProcAddress(
        library, "pxo_present_scan_window_rtsp");
    if (!present) return 2;
    present(argv[3], NULL, NULL, argv[4], onResult, &calls);
  } else {
    typedef void(__cdecl * Present)(
        const char*, const char*, pxo_scan_result_callback, void*);
    Present present =
        (Present)(void*)GetProcAddress(library, "pxo_present_scan_window");
    if (!present) return 2;
    present(NULL, NULL, onResult, &calls);
  }
  printf("entry point returned\n");
  fflush(stdout);

  EnterCriticalSection(&lock);
  while (calls == 0)
    if (!SleepConditionVariableCS(&arrived, &lock, argc == 5 ? 600000 : 30000))
      break;
  /* Another callback would come soon after the first: wait for it. */
  SleepConditionVariableCS(&arrived, &lock, 500);
  printf("callbacks: %d\n", calls);
  printf("result: %s\n", gotNull ? "(null)" : received);
  printf("on the calling thread: %s\n", onCaller ? "yes" : "no");
  LeaveCriticalSection(&lock);
  fflush(stdout);
  return calls == 1 ? (gotNull ? 1 : 0) : 3;
}
