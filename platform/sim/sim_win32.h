// The Win32 calls of the simulated machine, declared as Windows declares them.
// Each is written from the call's documented behaviour (see machine.h).
#pragma once

#include "sim_security.h"
#include "sim_types.h"

// kernel32: errors, time, memory
DWORD GetLastError();
void SetLastError(DWORD code);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();
void GetLocalTime(LPSYSTEMTIME time);
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);
SIZE_T HeapSize(HANDLE heap, DWORD flags, LPCVOID block);
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL GlobalFree(HGLOBAL block);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments);
int CompareStringOrdinal(LPCWSTR a, int aCount, LPCWSTR b, int bCount, BOOL ignoreCase);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR wide,
                        int wideChars);
int lstrlenW(LPCWSTR text);
LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from);

// kernel32: module, directories, command line, version
LPWSTR GetCommandLineW();
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
BOOL GetVersionExA(LPOSVERSIONINFOA info);
BOOL SetDefaultDllDirectories(DWORD flags);

// kernel32: files
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
BOOL DeleteFileW(LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
DWORD GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD size);
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info,
                                DWORD size);

// kernel32: synchronisation and processes
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
                    LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                    LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
HANDLE GetCurrentProcess();
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL SetEvent(HANDLE event);

// kernel32: other processes and their sessions
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry);
BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry);
BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR name, PDWORD size);
BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId);

// shell32
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* count);

// user32
BOOL IsWindow(HWND window);
HWND FindWindowW(LPCWSTR className, LPCWSTR title);
HWND FindWindowExW(HWND parent, HWND after, LPCWSTR className, LPCWSTR title);
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId);
HWND GetShellWindow();
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
SHORT GetAsyncKeyState(int key);
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                        LPARAM param);
BOOL EndDialog(HWND dialog, INT_PTR result);
BOOL SetDlgItemTextW(HWND dialog, int item, LPCWSTR text);
BOOL SetWindowTextW(HWND window, LPCWSTR text);
HWINSTA GetProcessWindowStation();
BOOL GetUserObjectInformationW(HANDLE object, int index, LPVOID info, DWORD length, LPDWORD needed);

// advapi32: services
SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR name, DWORD access);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE level, LPBYTE buffer, DWORD size,
                          LPDWORD needed);
BOOL StartServiceW(SC_HANDLE service, DWORD argc, LPCWSTR* argv);
BOOL EnumDependentServicesW(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW services,
                            DWORD size, LPDWORD needed, LPDWORD returned);
BOOL CloseServiceHandle(SC_HANDLE handle);

// advapi32: registry
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegDeleteValueA(HKEY key, LPCSTR name);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options,
                        REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result,
                        LPDWORD disposition);
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
LSTATUS RegFlushKey(HKEY key);
DWORD GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD size, LPDWORD reserved,
                      LPWSTR className, LPDWORD classSize, PFILETIME lastWrite);

// advapi32: tokens, and programs started as another user
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, LPVOID info, DWORD length,
                         PDWORD returned);
BOOL DuplicateTokenEx(HANDLE existing, DWORD access, LPSECURITY_ATTRIBUTES attributes,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE copy);
BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                          LPSECURITY_ATTRIBUTES process, LPSECURITY_ATTRIBUTES thread, BOOL inherit,
                          DWORD flags, LPVOID environment, LPCWSTR directory,
                          LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);
BOOL CreateProcessWithTokenW(HANDLE token, DWORD logonFlags, LPCWSTR application,
                             LPWSTR commandLine, DWORD flags, LPVOID environment, LPCWSTR directory,
                             LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info);

// wtsapi32, userenv: the sessions of the machine and their users
BOOL WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version,
                           PWTS_SESSION_INFOW* sessions, LPDWORD count);
void WTSFreeMemory(PVOID memory);
BOOL WTSQueryUserToken(ULONG sessionId, PHANDLE token);
BOOL CreateEnvironmentBlock(LPVOID* environment, HANDLE token, BOOL inherit);
BOOL DestroyEnvironmentBlock(LPVOID environment);

// winspool
BOOL EnumMonitorsW(LPWSTR server, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned);
BOOL AddMonitorW(LPWSTR server, DWORD level, LPBYTE info);
BOOL DeleteMonitorW(LPWSTR server, LPWSTR environment, LPWSTR name);
BOOL GetPrinterDriverDirectoryW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer,
                                DWORD size, LPDWORD needed);
BOOL EnumPrinterDriversW(LPWSTR server, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                         LPDWORD needed, LPDWORD returned);
BOOL AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags);
BOOL DeletePrinterDriverExW(LPWSTR server, LPWSTR environment, LPWSTR name, DWORD deleteFlags,
                            DWORD versionFlag);
BOOL GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer, DWORD size,
                       LPDWORD needed);
BOOL EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                   LPDWORD returned);
BOOL OpenPrinterW(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults);
BOOL GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed);
BOOL SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command);
HANDLE AddPrinterW(LPWSTR server, DWORD level, LPBYTE info);
BOOL DeletePrinter(HANDLE printer);
BOOL AddPrinterConnectionW(LPWSTR name);
BOOL DeletePrinterConnectionW(LPWSTR name);
BOOL ClosePrinter(HANDLE printer);
BOOL GetDefaultPrinterW(LPWSTR buffer, LPDWORD size);
BOOL SetDefaultPrinterW(LPCWSTR name);
DWORD GetPrinterDataA(HANDLE printer, LPSTR name, LPDWORD type, LPBYTE data, DWORD size,
                      LPDWORD needed);
DWORD GetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR name, LPDWORD type, LPBYTE data,
                        DWORD size, LPDWORD needed);
DWORD SetPrinterDataA(HANDLE printer, LPSTR name, DWORD type, LPBYTE data, DWORD size);
DWORD SetPrinterDataExA(HANDLE printer, LPCSTR key, LPCSTR name, DWORD type, LPBYTE data,
                        DWORD size);

// version
DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle);
BOOL GetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID data);
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length);
