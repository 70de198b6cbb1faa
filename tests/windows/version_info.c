/* Reads a program's or DLL's version resource as Explorer's Details tab
 * does and prints it:
 *   "ProductName: …", "ProductVersion: …", "FileDescription: …",
 *   "FileVersion: a.b.c.d" (the fixed part).
 *   version_info PATH */

#include <stdio.h>
#include <windows.h>

static void printString(const void* block, const wchar_t* name) {
  wchar_t path[128];
  wchar_t* value = NULL;
  UINT length = 0;
  swprintf(path, 128, L"\\StringFileInfo\\040904b0\\%ls", name);
  if (VerQueryValueW(block, path, (void**)&value, &length) && length > 0)
    printf("%ls: %ls\n", name, value);
  else
    printf("%ls: (none)\n", name);
}

int main(int argc, char** argv) {
  wchar_t file[MAX_PATH];
  DWORD handle = 0;
  DWORD size;
  void* block;
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT length = 0;
  if (argc != 2) return 2;
  MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, file, MAX_PATH);
  size = GetFileVersionInfoSizeW(file, &handle);
  if (size == 0) {
    printf("no version resource (%lu)\n", GetLastError());
    return 1;
  }
  block = HeapAlloc(GetProcessHeap(), 0, size);
  if (!block || !GetFileVersionInfoW(file, 0, size, block)) return 1;
  printString(block, L"ProductName");
  printString(block, L"ProductVersion");
  printString(block, L"FileDescription");
  if (VerQueryValueW(block, L"\\", (void**)&fixed, &length) && fixed)
    printf("FileVersion: %lu.%lu.%lu.%lu\n",
           (unsigned long)HIWORD(fixed->dwFileVersionMS),
           (unsigned long)LOWORD(fixed->dwFileVersionMS),
           (unsigned long)HIWORD(fixed->dwFileVersionLS),
           (unsigned long)LOWORD(fixed->dwFileVersionLS));
  HeapFree(GetProcessHeap(), 0, block);
  return 0;
}
